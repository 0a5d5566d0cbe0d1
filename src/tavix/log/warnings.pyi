import logging


logger: logging.Logger = ...

__all__: list = ['enable_deprecation_warnings', 'enable_warnings_to_log']

def enable_deprecation_warnings(module: object = 'tavix\\..*|__main__') -> None:
    """
    Enables printing of deprecation warnings.

    :param module: regular expression of the modules to enable them for;
        defaults to the framework's modules and __main__.
    """

def enable_warnings_to_log() -> None:
    """
    Overwrites warnings.showwarning with a custom implementation that
    redirects warnings to logging, in addition to the file.
    """

def log_warning(message: object | None, category: object | None, filename: object | None, lineno: object | None, file: object | None = None, line: object | None = None) -> None:
    """
    Replaces the showwarning interface: writes the warning to both the file
    and the log. Unlike the default, it does not fall back to stderr when no
    file is given.
    """
