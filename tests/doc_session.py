"""Runs one `>>>` block of the documentation as a reader's interactive session.

Usage: ``python doc_session.py BLOCK``.  The session's namespace is a fresh
module registered as ``__main__``, as the interpreter's own prompt has, so
classes defined in it pickle and are named ``__main__.X`` as the docs show.
What each statement prints is compared with the lines under it, ``...``
standing for any text; the process exits with 1 and prints the differences
when one does not match.
"""

import doctest
import sys
import types


def main(path):
    with open(path, encoding="utf-8") as file:
        text = file.read()
    session = types.ModuleType("__main__")
    session.__file__ = path
    sys.modules["__main__"] = session
    test = doctest.DocTestParser().get_doctest(text, {}, path, path, 0)
    # The session's statements run in the module itself, not in a copy of its
    # namespace, so that what they define can be found through sys.modules.
    test.globs = vars(session)
    runner = doctest.DocTestRunner(optionflags=doctest.ELLIPSIS)
    runner.run(test, clear_globs=False)
    return 1 if runner.failures else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1]))
