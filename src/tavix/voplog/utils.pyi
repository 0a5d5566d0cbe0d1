from tavix.log.utils import banner as original_banner


def banner(*args, **kwargs) -> object:
    """
    Deprecated alias of tavix.log.utils.banner: warns about the package
    rename, then returns what banner returns for the same arguments.
    """
