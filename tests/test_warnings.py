import logging
import warnings

import pytest

from tavix.log import warnings as routing


@pytest.fixture
def saved_warnings_state():
    filters, show = list(warnings.filters), warnings.showwarning
    old = getattr(warnings, "_oldshowwarning", None)
    yield
    warnings.filters[:] = filters
    warnings.showwarning = show
    if old is None:
        warnings.__dict__.pop("_oldshowwarning", None)
    else:
        warnings._oldshowwarning = old
    getattr(warnings, "_filters_mutated", lambda: None)()


@pytest.fixture
def logged(caplog):
    caplog.set_level(logging.WARNING, logger="warnings")
    return lambda: [r.getMessage() for r in caplog.records if r.name == "warnings"]


class Stream:
    def __init__(self, error=None):
        self.error, self.text = error, ""

    def write(self, text):
        if self.error:
            raise self.error
        self.text += text


def test_text_layout_and_source_line_rules(tmp_path, logged):
    source = tmp_path / "mod.py"
    source.write_text("x = 1\n    call_deprecated()   \n  \n")
    file = Stream()
    # fetched from the line cache, stripped, indented by two blanks
    routing.log_warning("old", DeprecationWarning, str(source), 2, file)
    # an empty line given by the caller: no source line even though the cache has one
    routing.log_warning("m", UserWarning, str(source), 2, None, "")
    # a given line is used as is (stripped); the cache is not consulted
    routing.log_warning(ValueError("v"), UserWarning, "nowhere.py", 7, None, "  given  ")
    # unknown file: exactly the two header lines
    routing.log_warning("gone", UserWarning, "nowhere.py", 7)
    # a line of blanks still adds the indentation line
    routing.log_warning("blank", UserWarning, str(source), 3)
    assert logged() == [
        "%s:2:\nDeprecationWarning: old\n  call_deprecated()\n" % source,
        "%s:2:\nUserWarning: m\n" % source,
        "nowhere.py:7:\nUserWarning: v\n  given\n",
        "nowhere.py:7:\nUserWarning: gone\n",
        "%s:3:\nUserWarning: blank\n  \n" % source,
    ]
    assert file.text == logged()[0]


def test_stream_failures(logged, capsys):
    routing.log_warning("a", UserWarning, "f.py", 1, Stream(OSError("disk full")))
    assert logged() == ["f.py:1:\nUserWarning: a\n"]
    with pytest.raises(RuntimeError):
        routing.log_warning("b", UserWarning, "f.py", 1, Stream(RuntimeError("bug")))
    assert len(logged()) == 2  # logged before the stream failed
    with pytest.raises(AttributeError):
        routing.log_warning("c", object(), "f.py", 1)
    assert capsys.readouterr().err == ""  # no fallback to stderr without a file


def test_enable_warnings_to_log_routes_real_warnings(saved_warnings_state, logged):
    previous = warnings.showwarning
    routing.enable_warnings_to_log()
    assert warnings.showwarning is routing.log_warning
    assert warnings._oldshowwarning is previous
    with pytest.raises(TypeError):
        routing.enable_warnings_to_log(1)
    warnings.simplefilter("always")
    warnings.warn("routed", UserWarning)
    (text,) = logged()
    assert text.startswith(__file__ + ":") and "\nUserWarning: routed\n" in text
    assert 'warnings.warn("routed", UserWarning)' in text


def test_enable_deprecation_warnings(saved_warnings_state):
    warnings.filters[:] = [("ignore", None, DeprecationWarning, None, 0)] * 2 + list(warnings.filters)
    routing.enable_deprecation_warnings()
    routing.enable_deprecation_warnings()
    filters = warnings.filters
    assert filters[0][:3] == ("always", None, DeprecationWarning)
    assert filters[0][3].pattern == "tavix\\..*|__main__"
    assert len(filters) == len(set(filters))
    assert filters[1] == ("ignore", None, DeprecationWarning, None, 0)
    # a framework module's deprecation warnings are shown again, others are not
    with warnings.catch_warnings(record=True) as seen:
        warnings.warn_explicit("x", DeprecationWarning, "a.py", 1, module="tavix.demo")
        warnings.warn_explicit("y", DeprecationWarning, "b.py", 1, module="thirdparty")
    assert [str(w.message) for w in seen] == ["x"]
    with pytest.raises(Exception):
        routing.enable_deprecation_warnings("(unclosed")
