"""Common utilities of the dravolt platform, with native serialisation helpers."""
