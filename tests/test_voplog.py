import warnings

import pytest

import tavix.log.utils
from tavix.voplog import utils as legacy


def test_legacy_banner_warns_then_delegates():
    assert legacy.original_banner is tavix.log.utils.banner
    with warnings.catch_warnings(record=True) as seen:
        warnings.simplefilter("always")
        text = legacy.banner("hello", width=20)
    assert text == tavix.log.utils.banner("hello", width=20)
    assert [w.category for w in seen] == [DeprecationWarning]
    lines = str(seen[0].message).split("\n")
    assert len(lines) == 15 and lines[0] == "" and lines[-1] == "    "
    assert {len(lines[i]) for i in (1, 2, 3, 13)} == {80}
    assert lines[2] == "*" + " " * 35 + "WARNING" + " " * 36 + "*"
    assert {line.index("-->") for line in lines[5:8]} == {36}
    assert lines[9].endswith("recursively. ")
    assert lines[10] == '         grep -rl "voplog" * | xargs sed -i "s/voplog/log/g"'
    # attributed to the legacy module, so filters on the framework's module names apply
    assert seen[0].filename in (legacy.__file__, "<tavix.voplog.utils>")
    # displayable: formatting looks the source line up without reading the binary module
    assert "DeprecationWarning" in warnings.formatwarning(seen[0].message, seen[0].category,
                                                          seen[0].filename, seen[0].lineno)
    with warnings.catch_warnings(record=True) as seen:
        warnings.resetwarnings()
        warnings.filterwarnings("ignore", category=DeprecationWarning)
        warnings.filterwarnings("always", category=DeprecationWarning, module=r"tavix\..*")
        legacy.banner("again")
    assert len(seen) == 1


def test_legacy_banner_passes_arguments_and_errors(monkeypatch):
    calls = []
    monkeypatch.setattr(legacy, "original_banner", lambda *a, **k: calls.append((a, k)) or "r")
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        assert legacy.banner(1, two=2) == "r"
    assert calls == [((1,), {"two": 2})]
    with warnings.catch_warnings():
        warnings.simplefilter("error", DeprecationWarning)
        with pytest.raises(DeprecationWarning):
            legacy.banner("x")
    assert len(calls) == 1


def test_framework_banner_frames_its_text(caplog):
    import logging
    text = tavix.log.utils.banner("a\nlonger line", width=12, logger=logging.getLogger("t"),
                                  level=logging.WARNING)
    assert text.splitlines() == ["*" * 15, "*      a      *", "* longer line *", "*" * 15]
    assert caplog.records[0].getMessage() == text
    with pytest.raises(ValueError):
        tavix.log.utils.banner("x", char="**")
