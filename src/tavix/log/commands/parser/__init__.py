"""Results parsers of the run archive viewer.

``LedraXMLResultParser``, the parser of "ResultsDetails.xml" and the default
parser of an opened archive, is importable from here. It is loaded on first
use, so that importing ``tavix.log.commands.parser.base`` alone does not pull
in the XML parser that builds on it.
"""

__all__ = ["LedraXMLResultParser"]


def __getattr__(name):
    if name == "LedraXMLResultParser":
        from .xml import LedraXMLResultParser

        return LedraXMLResultParser
    raise AttributeError(f"module {__name__!r} has no attribute {name!r}")
