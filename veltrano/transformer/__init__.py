__all__ = ["SavedFileError"]


def __getattr__(name):
    # Loaded on first use: importing one of the package's modules must not
    # import pandas and numpy first (they refuse a second interpreter before
    # the extension could say so itself).
    if name == "SavedFileError":
        from veltrano.transformer._saved import SavedFileError

        return SavedFileError
    raise AttributeError("module %r has no attribute %r" % (__name__, name))
