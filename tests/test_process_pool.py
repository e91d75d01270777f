"""Objects of every kind the wrappers make, pickled by the parent, rebuilt by
the workers of a process pool (started by ``spawn`` and by ``fork``) and sent
back: nothing lost or changed (``pool_workload`` holds the objects)."""

import concurrent.futures
import multiprocessing
import pickle

import pytest

import dravolt_common.utils.payload_wrapper as pw
import figures
import pool_workload

COUNT = figures.scaled(10_000, least=1_000)


@pytest.fixture(scope="module")
def sent():
    # Making and loading the wrappers installs their funcs on the classes.
    classes = (pw.PayloadWrapper, pw.UnpicklableObject)
    before = {cls: set(vars(cls)) for cls in classes}
    originals = [pool_workload.make(i) for i in range(COUNT)]
    yield originals, [pool_workload.dumps(obj) for obj in originals]
    for cls in classes:
        for name in set(vars(cls)) - before[cls]:
            delattr(cls, name)


@pytest.mark.parametrize("start_method", ["spawn", "fork"])
def test_objects_come_back_from_the_workers_unchanged(sent, start_method):
    originals, payloads = sent
    context = multiprocessing.get_context(start_method)
    with concurrent.futures.ProcessPoolExecutor(2, mp_context=context) as pool:
        returned = list(pool.map(pool_workload.rebuild, payloads, chunksize=500))

    figures.add("processes", objects_round_tripped=len(returned))
    changed = []
    for i, (original, data) in enumerate(zip(originals, returned, strict=True)):
        wanted = pool_workload.expected(original)
        found = pool_workload.came_back(original, pickle.loads(data))
        if found != wanted:
            changed.append((i, wanted, found))
    assert changed == []
