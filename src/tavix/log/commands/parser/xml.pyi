import tavix.log.commands.parser.base


class LedraXMLResultParser(tavix.log.commands.parser.base.BaseResultsParser):
    """
    Reads a run's ResultsDetails.xml into the results dictionary: job
    metadata, one task record per testscript with its sections in
    pre-order, and the summaries; then indexes the sections.
    """

    NS: dict = ...

    def __init__(self, archive: object) -> None: ...
