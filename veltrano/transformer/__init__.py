from veltrano.transformer._saved import SavedFileError

__all__ = ["SavedFileError"]
