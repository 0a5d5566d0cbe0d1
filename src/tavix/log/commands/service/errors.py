"""The failures the service answers with an HTTP status of their own."""


class ServiceError(Exception):
    """An error the service answers with `status` and {"detail": code, "message": text}."""

    status = 500
    code = "SERVICE_ERROR"


class BadArchive(ServiceError):
    """Not a run archive, a hostile one, or one that cannot be read."""

    status, code = 422, "NOT_A_RUN"


class UploadCut(ServiceError):
    status, code = 400, "UPLOAD_INCOMPLETE"


class ArchiveTooLarge(ServiceError):
    status, code = 413, "ARCHIVE_TOO_LARGE"


class RequestIdTaken(ServiceError):
    """Another archive already holds this request id: nothing is replaced."""

    status, code = 409, "REQUEST_ID_TAKEN"


class StoreFull(ServiceError):
    status, code = 507, "STORE_FULL"


class Unavailable(ServiceError):
    """The run index or the store cannot be reached."""

    status, code = 503, "UNAVAILABLE"


class RunNotFound(ServiceError):
    status, code = 404, "RUN_NOT_FOUND"
    # What a browser asking for the run's page is shown.
    page_text = "This run is not stored."


class ArchiveMissing(RunNotFound):
    """The index holds the run, the store no longer its archive."""

    code = "ARCHIVE_MISSING"
    page_text = "This run's archive is missing from the store."
