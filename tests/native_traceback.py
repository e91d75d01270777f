"""The traceback entries that the payload_wrapper module adds to an exception."""

MODULE_NAME = "dravolt_common.utils.payload_wrapper"
SOURCE_PATH = "dravolt_common/utils/payload_wrapper"


def native_entries(exc):
    """Qualified names of the module's entries in the traceback, outermost first."""
    names = []
    tb = exc.__traceback__
    while tb is not None:
        code = tb.tb_frame.f_code
        if code.co_filename == SOURCE_PATH:
            assert code.co_name.startswith(MODULE_NAME + ".")
            assert tb.tb_lineno > 0
            names.append(code.co_name[len(MODULE_NAME) + 1 :])
        tb = tb.tb_next
    return names
