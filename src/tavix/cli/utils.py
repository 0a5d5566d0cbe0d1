"""Output helpers for command-line tools."""

__all__ = ["format_table"]


def format_table(data, header):
    """Lay out rows of cells under column titles; returns the table's lines.

    Every cell is shown with ``str``; columns are left-aligned, as wide as
    their widest cell and separated by two blanks; a rule of dashes separates
    the titles from the rows. Rows shorter than the header get empty cells.
    """
    header = [str(title) for title in header]
    rows = [[str(cell) for cell in row] for row in data]
    columns = max([len(header)] + [len(row) for row in rows])
    header += [""] * (columns - len(header))
    rows = [row + [""] * (columns - len(row)) for row in rows]
    widths = [max(len(row[i]) for row in [header] + rows) for i in range(columns)]

    def line(cells):
        return "  ".join(cell.ljust(width) for cell, width in zip(cells, widths)).rstrip()

    return [line(header), line(["-" * width for width in widths])] + [line(row) for row in rows]
