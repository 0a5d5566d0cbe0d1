"""ANSI palette and the colouring formatters of tavix.log.colour."""
import enum
import logging

import pytest

from tavix.log.colour import (BgColour, ColouredLogLevelFormatter, ColourizingFormatter, FgColour,
                              Palette, Style)

RESET = "\x1b[0m\x1b[39m"


def make_record(level=logging.INFO, msg="msg", **extra):
    record = logging.LogRecord("tavix.test", level, __file__, 1, msg, None, None)
    record.__dict__.update(extra)
    return record


def coloured(formatter, record):
    formatter.format(record)
    return record.coloured_message


class TestPalette:
    def test_enumerations_are_real_enums_over_the_palette(self):
        for cls in (Style, FgColour, BgColour):
            assert issubclass(cls, Palette) and issubclass(cls, enum.Enum)
        assert [m.name for m in Style] == ["BOLD", "LIGHT", "RESET"]
        assert len(FgColour) == len(BgColour) == 16
        assert FgColour("\x1b[31m") is FgColour.RED and FgColour["BRIGHT_CYAN"].value == "\x1b[96m"
        assert FgColour.RED is not BgColour.RED

    def test_codes_follow_the_colour_order(self):
        names = ["BLACK", "RED", "GREEN", "YELLOW", "BLUE", "MAGENTA", "CYAN", "WHITE"]
        assert [m.name for m in FgColour] == names + ["BRIGHT_" + n for n in names]
        assert [m.value for m in FgColour] == ["\x1b[%dm" % c for c in [*range(30, 38), *range(90, 98)]]
        assert [m.value for m in BgColour] == ["\x1b[%dm" % c for c in [*range(40, 48), *range(100, 108)]]
        assert len(BgColour.BRIGHT_WHITE.value) == 6
        assert Style.RESET.value == RESET

    def test_apply_wraps_in_the_member_and_reset(self):
        assert FgColour.RED.apply("x") == "\x1b[31mx" + RESET
        assert Style.RESET.apply("m") == RESET + "m" + RESET

    def test_mix_concatenates_true_arguments_in_order(self):
        assert Palette.mix() == "" and Palette.mix(None, None) == ""
        assert Palette.mix(Style.BOLD, FgColour.RED) == "\x1b[1m\x1b[31m"
        assert Palette.mix(FgColour.RED, None, Style.BOLD) == "\x1b[31m\x1b[1m"
        assert Palette.mix.__doc__ == "mixes multiple colors together and return one color code"

    def test_paint(self):
        message = "".join(["some ", "message"])  # not interned: identity is meaningful
        assert Palette.paint(message) is message
        assert Palette.paint(message, None, None) is message
        assert Palette.paint("x", None, FgColour.RED, None) == "\x1b[31mx" + RESET
        assert Palette.paint("", Style.BOLD) == "\x1b[1m" + RESET
        assert (Palette.paint("x", FgColour.RED, BgColour.WHITE, Style.BOLD)
                == "\x1b[31m\x1b[47m\x1b[1mx" + RESET)
        args = ("x", Style.BOLD, BgColour.BLUE)
        assert FgColour.paint(*args) == Palette.paint(*args) == FgColour.GREEN.paint(*args)

    def test_paint_uses_an_overridden_mix(self):
        class Loud(Palette):
            @classmethod
            def mix(cls, *colours):
                return "<%d>" % len(colours)

        assert Loud.paint("x", Style.BOLD, None) == "<2>x" + RESET

    def test_errors_are_the_interpreters(self):
        with pytest.raises(AttributeError):
            Palette.paint("x", "red")
        with pytest.raises(AttributeError):
            Palette.mix(FgColour.RED, 1)
        with pytest.raises(TypeError):
            Palette.paint(42, FgColour.RED)
        with pytest.raises(TypeError):
            FgColour.RED.apply(None)


class TestColouredLogLevelFormatter:
    @pytest.mark.parametrize("level, expected", [
        (logging.DEBUG, "\x1b[36mmsg" + RESET),
        (logging.INFO, "msg"),
        (logging.WARNING, "\x1b[33mmsg" + RESET),
        (logging.ERROR, "\x1b[31mmsg" + RESET),
        (logging.CRITICAL, "\x1b[1m\x1b[31mmsg" + RESET),
        (25, "msg"),
    ])
    def test_level_colours(self, level, expected):
        assert coloured(ColouredLogLevelFormatter(), make_record(level)) == expected

    @pytest.mark.parametrize("level, extra, expected", [
        (logging.ERROR, {"colour": "green"}, "\x1b[32mmsg" + RESET),
        (logging.WARNING, {"colour": "purple"}, "\x1b[33mmsg" + RESET),
        (25, {"bg_colour": "BLUE"}, "\x1b[44mmsg" + RESET),
        (20, {"colour": "red", "bg_colour": "white", "style": "bold"}, "\x1b[31m\x1b[47m\x1b[1mmsg" + RESET),
        (logging.DEBUG, {"style": "Light", "colour": "bright_blue"}, "\x1b[94m\x1b[2mmsg" + RESET),
    ])
    def test_explicit_colours_win_over_the_level(self, level, extra, expected):
        assert coloured(ColouredLogLevelFormatter(), make_record(level, **extra)) == expected

    def test_apply_colour_results(self):
        formatter = ColouredLogLevelFormatter()
        assert formatter._apply_colour(make_record(logging.ERROR, message="m")) is True
        assert formatter._apply_colour(make_record(logging.ERROR, message="m", colour="green")) is False
        assert formatter._apply_colour(make_record(logging.INFO, message="m")) is False
        assert ColourizingFormatter()._apply_colour(make_record(message="m", style="bold")) is True

    def test_the_template_sees_the_coloured_message(self):
        formatter = ColouredLogLevelFormatter("%(levelname)s %(coloured_message)s|%(message)s")
        record = make_record(logging.WARNING, "a %s", args=None)
        record.args = ("b",)
        assert formatter.format(record) == "WARNING \x1b[33ma b" + RESET + "|a b"

    def test_level_map_is_read_through_the_instance(self):
        class Formatter(ColouredLogLevelFormatter):
            LEVEL_MAP = {logging.INFO: FgColour.GREEN.apply}

        assert coloured(Formatter(), make_record(logging.INFO)) == "\x1b[32mmsg" + RESET
        assert coloured(Formatter(), make_record(logging.ERROR)) == "msg"
        instance = ColouredLogLevelFormatter()
        instance.LEVEL_MAP = {logging.ERROR: str.upper}
        assert coloured(instance, make_record(logging.ERROR)) == "MSG"

    def test_overriding_apply_colour_in_python(self):
        class Formatter(ColouredLogLevelFormatter):
            def _apply_colour(self, record):
                result = super()._apply_colour(record)
                record.coloured_message = "[%s]" % record.coloured_message
                return result

        assert Formatter("%(coloured_message)s").format(make_record(logging.DEBUG)) == \
            "[\x1b[36mmsg" + RESET + "]"

    def test_plain_colourizing_formatter_renders_like_the_stdlib(self):
        for template in (None, "%(levelname)s:%(name)s:%(message)s", "%(levelno)03d %(message)r"):
            record = make_record(logging.ERROR, "x %d", args=None)
            record.args = (5,)
            expected = logging.Formatter(template).format(record)
            assert ColourizingFormatter(template).format(record) == expected
            assert record.coloured_message == "x 5"

    def test_missing_field_is_reported_like_the_stdlib(self):
        with pytest.raises(ValueError, match="Formatting field not found in record: 'nope'") as error:
            ColouredLogLevelFormatter("%(nope)s").format(make_record())
        assert isinstance(error.value.__context__, KeyError)

    def test_bad_colour_attributes(self):
        with pytest.raises(AttributeError):
            ColouredLogLevelFormatter().format(make_record(colour=None))
        record = make_record()
        with pytest.raises(AttributeError):
            ColouredLogLevelFormatter().formatMessage(record)  # no message set yet

    def test_inside_a_handler_errors_go_to_handle_error(self, capsys):
        handler = logging.StreamHandler()
        handler.setFormatter(ColouredLogLevelFormatter("%(coloured_message)s"))
        logger = logging.getLogger("tavix.test.colour.errors")
        logger.addHandler(handler)
        logger.propagate = False
        try:
            logger.error("bad", extra={"colour": 3})
            logger.error("fine")
        finally:
            logger.removeHandler(handler)
        captured = capsys.readouterr().err
        assert "--- Logging error ---" in captured and "\x1b[31mfine" + RESET in captured
