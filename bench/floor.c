/* The floor of the benchmarks: built-in functions that do nothing, one for each
   arity the workloads call with, so that a call of one costs what the
   interpreter alone charges for calling a C function that many arguments.
   Built twice, under two module names, for the floor of the import workload. */
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#ifndef FLOOR_MODULE
#define FLOOR_MODULE bench_floor
#endif
#define FLOOR_TEXT(name) #name
#define FLOOR_NAME(name) FLOOR_TEXT(name)
#define FLOOR_JOIN(a, b) a##b
#define FLOOR_INIT(name) FLOOR_JOIN(PyInit_, name)

static PyObject *
noop1(PyObject *module, PyObject *arg)
{
    Py_RETURN_NONE;
}

/* The count is checked, as any function of fixed arity checks it. */
static PyObject *
wrong_count(const char *name, Py_ssize_t expected, Py_ssize_t given)
{
    PyErr_Format(PyExc_TypeError, "%s() takes exactly %zd arguments (%zd given)", name,
                 expected, given);
    return NULL;
}

static PyObject *
noop2(PyObject *module, PyObject *const *args, Py_ssize_t nargs)
{
    if (nargs != 2) {
        return wrong_count("noop2", 2, nargs);
    }
    Py_RETURN_NONE;
}

static PyObject *
noop3(PyObject *module, PyObject *const *args, Py_ssize_t nargs)
{
    if (nargs != 3) {
        return wrong_count("noop3", 3, nargs);
    }
    Py_RETURN_NONE;
}

static PyMethodDef floor_methods[] = {
    {"noop1", noop1, METH_O, NULL},
    {"noop2", (PyCFunction)(void (*)(void))noop2, METH_FASTCALL, NULL},
    {"noop3", (PyCFunction)(void (*)(void))noop3, METH_FASTCALL, NULL},
    {NULL, NULL, 0, NULL},
};

static PyModuleDef_Slot floor_slots[] = {
    {0, NULL},
};

static struct PyModuleDef floor_module = {
    PyModuleDef_HEAD_INIT,
    .m_name = FLOOR_NAME(FLOOR_MODULE),
    .m_size = 0,
    .m_methods = floor_methods,
    .m_slots = floor_slots,
};

PyMODINIT_FUNC
FLOOR_INIT(FLOOR_MODULE)(void)
{
    return PyModuleDef_Init(&floor_module);
}
