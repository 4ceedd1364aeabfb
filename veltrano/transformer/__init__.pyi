from veltrano.transformer._saved import SavedFileError as SavedFileError

__all__ = ["SavedFileError"]
