"""A small spreadsheet: a workbook of worksheets of cells, and the ranges,
formats and change events that the simulated add-in hands out.

Cells hold plain values (numbers, text, booleans), formulas (text starting
with "=", computed on read: arithmetic, cell references and SUM, AVERAGE,
MIN, MAX, COUNT over ranges), a number format and a few style flags.
"""
import ast
import re
from typing import Any, Dict, Iterator, List, NamedTuple, Optional, Tuple

from .jsobject import AddinError, JsObject, PythonCallback, sequence_item

Cell = Tuple[int, int]  # (row, column), both from 0

_CELL = re.compile(r"^\$?([A-Za-z]{1,3})\$?([0-9]+)$")


def column_letters(column: int) -> str:
    letters = ""
    column += 1
    while column:
        column, rest = divmod(column - 1, 26)
        letters = chr(ord("A") + rest) + letters
    return letters


def parse_cell(text: str) -> Cell:
    match = _CELL.match(text.strip())
    if not match:
        raise AddinError(f"Invalid cell address '{text}'")
    column = 0
    for ch in match.group(1).upper():
        column = column * 26 + ord(ch) - ord("A") + 1
    row = int(match.group(2))
    if row < 1:
        raise AddinError(f"Invalid cell address '{text}'")
    return row - 1, column - 1


class Rect(NamedTuple):
    """A rectangle of cells, corners included."""

    top: int
    left: int
    bottom: int
    right: int

    @classmethod
    def parse(cls, text: str) -> "Rect":
        first, _, last = text.partition(":")
        (top, left), (bottom, right) = parse_cell(first), parse_cell(last or first)
        return cls(min(top, bottom), min(left, right), max(top, bottom), max(left, right))

    @property
    def rows(self) -> int:
        return self.bottom - self.top + 1

    @property
    def columns(self) -> int:
        return self.right - self.left + 1

    def address(self) -> str:
        first = f"{column_letters(self.left)}{self.top + 1}"
        last = f"{column_letters(self.right)}{self.bottom + 1}"
        return first if first == last else f"{first}:{last}"

    def cells(self) -> Iterator[Cell]:
        for row in range(self.top, self.bottom + 1):
            for column in range(self.left, self.right + 1):
                yield row, column

    def intersect(self, other: "Rect") -> Optional["Rect"]:
        r = Rect(max(self.top, other.top), max(self.left, other.left),
                 min(self.bottom, other.bottom), min(self.right, other.right))
        return r if r.top <= r.bottom and r.left <= r.right else None

    def contains(self, other: "Rect") -> bool:
        return self.intersect(other) == other


def split_address(text: Any) -> Tuple[Optional[str], Rect]:
    """'Sheet1!A1:B2' or 'A1:B2' into the sheet name (or None) and the rectangle."""
    if not isinstance(text, str):
        raise AddinError(f"An address must be a string, got {type(text).__name__}")
    sheet, _, cells = text.rpartition("!")
    return (sheet.strip("'") or None), Rect.parse(cells)


# ---- formulas ------------------------------------------------------------------------

_REF = re.compile(r"\$?\b([A-Z]{1,3})\$?([0-9]+)(?::\$?([A-Z]{1,3})\$?([0-9]+))?\b(?!\()")


def _numbers(args: Tuple[Any, ...]) -> List[float]:
    flat: List[Any] = []
    for a in args:
        flat.extend(a if isinstance(a, list) else [a])
    return [v for v in flat if isinstance(v, (int, float)) and not isinstance(v, bool)]


_FUNCTIONS = {
    "SUM": lambda *a: sum(_numbers(a)),
    "AVERAGE": lambda *a: sum(_numbers(a)) / len(_numbers(a)),
    "MIN": lambda *a: min(_numbers(a), default=0),
    "MAX": lambda *a: max(_numbers(a), default=0),
    "COUNT": lambda *a: len(_numbers(a)),
}
_ALLOWED = (ast.Expression, ast.BinOp, ast.UnaryOp, ast.Constant, ast.Name, ast.Load, ast.Call, ast.Add,
            ast.Sub, ast.Mult, ast.Div, ast.Pow, ast.USub, ast.UAdd)


def evaluate(sheet: "Worksheet", formula: str, depth: int = 0) -> Any:
    """The value of a formula, or an error text such as #VALUE! or #DIV/0!."""
    if depth > 50:
        return "#REF!"
    bound: Dict[str, Any] = {}

    def reference(match: "re.Match[str]") -> str:
        name = f"_r{len(bound)}"
        cells = Rect.parse(match.group(0)).cells()
        values = [sheet.computed(cell, depth + 1) for cell in cells]
        values = [0 if v == "" else v for v in values] if not match.group(3) else values
        bound[name] = values if match.group(3) else values[0]
        return name

    try:
        expression = _REF.sub(reference, formula[1:].strip().upper())
        tree = ast.parse(expression, mode="eval")
        for node in ast.walk(tree):
            if not isinstance(node, _ALLOWED) or (isinstance(node, ast.Name) and node.id not in bound
                                                  and node.id not in _FUNCTIONS):
                return "#NAME?"
        return eval(compile(tree, "<formula>", "eval"), {"__builtins__": {}}, {**_FUNCTIONS, **bound})
    except ZeroDivisionError:
        return "#DIV/0!"
    except Exception:
        return "#VALUE!"


# ---- the model ---------------------------------------------------------------------------


class Workbook(JsObject):
    js_type = "Workbook"
    js_properties = ("name", "worksheets")

    def __init__(self, name: str = "Book1") -> None:
        self.name = name
        self.worksheets = WorksheetCollection(self)
        self.registrations: List["EventRegistration"] = []
        self.pending_events: List[Tuple[PythonCallback, Dict[str, Any]]] = []
        self.worksheets.add("Sheet1")

    def cells_changed(self, sheet: "Worksheet", rect: Rect) -> None:
        for reg in self.registrations:
            changed = rect if reg.rect is None else rect.intersect(reg.rect)
            if reg.sheet is sheet and changed is not None:
                event = {"type": "WorksheetChanged", "worksheet": sheet.name, "address": changed.address(),
                         "changeType": "RangeEdited"}
                self.pending_events.append((reg.handler, event))

    def take_events(self) -> List[Tuple[PythonCallback, Dict[str, Any]]]:
        events, self.pending_events = self.pending_events, []
        return events


class WorksheetCollection(JsObject):
    js_type = "WorksheetCollection"
    js_properties = ("count", "items")
    js_methods = ("getItem", "add", "getActiveWorksheet")

    def __init__(self, workbook: Workbook) -> None:
        self.workbook = workbook
        self.sheets: List[Worksheet] = []
        self.active: Optional[Worksheet] = None

    @property
    def count(self) -> int:
        return len(self.sheets)

    @property
    def items(self) -> List["Worksheet"]:
        return list(self.sheets)

    def getItem(self, key: str) -> "Worksheet":
        for sheet in self.sheets:
            if sheet.name == key:
                return sheet
        raise AddinError(f"The worksheet '{key}' does not exist")

    def add(self, name: Optional[str] = None) -> "Worksheet":
        if name is None:
            name = f"Sheet{len(self.sheets) + 1}"
        if not isinstance(name, str) or not name:
            raise AddinError("A worksheet name must be a non-empty string")
        if any(s.name == name for s in self.sheets):
            raise AddinError(f"A worksheet named '{name}' already exists")
        sheet = Worksheet(self.workbook, name)
        self.sheets.append(sheet)
        self.active = self.active or sheet
        return sheet

    def getActiveWorksheet(self) -> "Worksheet":
        if self.active is None:
            raise AddinError("The workbook has no worksheet")
        return self.active

    def js_getitem(self, index: Any) -> Any:
        return sequence_item(self.sheets, index, "a collection")


class Worksheet(JsObject):
    js_type = "Worksheet"
    js_properties = ("onChanged",)
    js_writable = ("name",)
    js_methods = ("getRange", "activate")

    def __init__(self, workbook: Workbook, name: str) -> None:
        self.workbook = workbook
        self._name = name
        self.values: Dict[Cell, Any] = {}  # constants and formula texts
        self.formats: Dict[Cell, str] = {}
        self.styles: Dict[Cell, Dict[str, Any]] = {}

    @property
    def name(self) -> str:
        return self._name

    @name.setter
    def name(self, value: Any) -> None:
        if not isinstance(value, str) or not value:
            raise AddinError("A worksheet name must be a non-empty string")
        self._name = value

    @property
    def onChanged(self) -> "EventSource":
        return EventSource(self, None)

    def getRange(self, address: str = "A1") -> "Range":
        sheet, rect = split_address(address)
        target = self if sheet is None else self.workbook.worksheets.getItem(sheet)
        return Range(target, rect)

    def activate(self) -> None:
        self.workbook.worksheets.active = self

    def used(self) -> Optional[Rect]:
        """The smallest rectangle from A1 that holds every non-empty cell."""
        if not self.values:
            return None
        return Rect(0, 0, max(r for r, _ in self.values), max(c for _, c in self.values))

    def table(self) -> List[List[Any]]:
        """The computed values of the used cells, as rows (for printing and tests)."""
        rect = self.used()
        return Range(self, rect).values if rect else []

    def render(self) -> str:
        """The used cells as a text grid: number formats applied, bold cells in
        asterisks, filled cells followed by their colour in brackets."""
        rect = self.used()
        if rect is None:
            return "(empty)"
        header = [""] + [column_letters(c) for c in range(rect.left, rect.right + 1)]
        grid = [header] + [[str(row + 1)] + [self._shown((row, col)) for col in range(rect.left, rect.right + 1)]
                           for row in range(rect.top, rect.bottom + 1)]
        widths = [max(len(line[i]) for line in grid) for i in range(len(header))]
        return "\n".join("  ".join(text.ljust(w) for text, w in zip(line, widths)).rstrip() for line in grid)

    def _shown(self, cell: Cell) -> str:
        value, fmt, style = self.computed(cell), self.formats.get(cell, "General"), self.styles.get(cell, {})
        decimals = re.fullmatch(r"[#,0]*0\.(0+)", fmt)
        if decimals and isinstance(value, (int, float)) and not isinstance(value, bool):
            text = f"{value:,.{len(decimals.group(1))}f}" if "," in fmt else f"{value:.{len(decimals.group(1))}f}"
        else:
            text = str(value)
        if style.get("font.bold"):
            text = f"*{text}*"
        if style.get("fill.color"):
            text += f" [{style['fill.color']}]"
        return text

    def computed(self, cell: Cell, depth: int = 0) -> Any:
        value = self.values.get(cell, "")
        if isinstance(value, str) and value.startswith("="):
            return evaluate(self, value, depth)
        return value

    def write(self, rect: Rect, grid: List[List[Any]], store: Dict[Cell, Any]) -> None:
        for (row, column), value in zip(rect.cells(), (v for line in grid for v in line)):
            if value is None or value == "":
                store.pop((row, column), None)
            else:
                store[(row, column)] = value
        if store is self.values:
            self.workbook.cells_changed(self, rect)


def _grid(rect: Rect, value: Any, what: str) -> List[List[Any]]:
    """A write's value as rows: a single value fills the range; an array must fit it."""
    if not isinstance(value, list):
        return [[value] * rect.columns for _ in range(rect.rows)]
    if len(value) != rect.rows or any(not isinstance(r, list) or len(r) != rect.columns for r in value):
        raise AddinError(f"The {what} given do not match the size of the range ({rect.rows} rows, "
                         f"{rect.columns} columns)")
    for row in value:
        for cell in row:
            if isinstance(cell, (list, dict)):
                raise AddinError(f"A cell cannot hold a {'list' if isinstance(cell, list) else 'dict'}")
    return value


class Range(JsObject):
    js_type = "Range"
    js_properties = ("address", "rowCount", "columnCount", "format", "worksheet", "onChanged")
    js_writable = ("values", "formulas", "numberFormat")
    js_methods = ("getCell", "clear")

    def __init__(self, sheet: Worksheet, rect: Rect) -> None:
        self.sheet = sheet
        self.rect = rect

    def _rows(self, read: Any) -> List[List[Any]]:
        r = self.rect
        return [[read((row, col)) for col in range(r.left, r.right + 1)] for row in range(r.top, r.bottom + 1)]

    @property
    def address(self) -> str:
        return f"{self.sheet.name}!{self.rect.address()}"

    @property
    def rowCount(self) -> int:
        return self.rect.rows

    @property
    def columnCount(self) -> int:
        return self.rect.columns

    @property
    def worksheet(self) -> Worksheet:
        return self.sheet

    @property
    def format(self) -> "RangeFormat":
        return RangeFormat(self)

    @property
    def onChanged(self) -> "EventSource":
        return EventSource(self.sheet, self.rect)

    @property
    def values(self) -> List[List[Any]]:
        return self._rows(self.sheet.computed)

    @values.setter
    def values(self, value: Any) -> None:
        self.sheet.write(self.rect, _grid(self.rect, value, "values"), self.sheet.values)

    @property
    def formulas(self) -> List[List[Any]]:
        return self._rows(lambda cell: self.sheet.values.get(cell, ""))

    @formulas.setter
    def formulas(self, value: Any) -> None:
        self.sheet.write(self.rect, _grid(self.rect, value, "formulas"), self.sheet.values)

    @property
    def numberFormat(self) -> List[List[Any]]:
        return self._rows(lambda cell: self.sheet.formats.get(cell, "General"))

    @numberFormat.setter
    def numberFormat(self, value: Any) -> None:
        self.sheet.write(self.rect, _grid(self.rect, value, "number formats"), self.sheet.formats)

    def getCell(self, row: int, column: int) -> "Range":
        for name, n, size in (("row", row, self.rect.rows), ("column", column, self.rect.columns)):
            if not isinstance(n, int) or isinstance(n, bool) or not 0 <= n < size:
                raise AddinError(f"getCell: {name} {n!r} is outside the range ({size} {name}s)")
        top, left = self.rect.top + row, self.rect.left + column
        return Range(self.sheet, Rect(top, left, top, left))

    def clear(self, applyTo: str = "All") -> None:
        if applyTo not in ("All", "Contents", "Formats"):
            raise AddinError(f"clear: applyTo must be 'All', 'Contents' or 'Formats', not {applyTo!r}")
        for cell in self.rect.cells():
            if applyTo != "Formats":
                self.sheet.values.pop(cell, None)
            if applyTo != "Contents":
                self.sheet.formats.pop(cell, None)
                self.sheet.styles.pop(cell, None)
        if applyTo != "Formats":
            self.sheet.workbook.cells_changed(self.sheet, self.rect)

    def js_getitem(self, index: Any) -> Any:
        """Rows of the range: an int gives one row, a slice a range of rows."""
        rows = list(range(self.rect.top, self.rect.bottom + 1))
        picked = sequence_item(rows, index, "a range")
        if isinstance(index, slice):
            if not picked or index.step not in (None, 1):
                raise AddinError(f"The rows {index.start}:{index.stop}:{index.step} do not form a range")
            return Range(self.sheet, Rect(picked[0], self.rect.left, picked[-1], self.rect.right))
        return Range(self.sheet, Rect(picked, self.rect.left, picked, self.rect.right))


class RangeAreas(JsObject):
    """Several rectangles of one worksheet (what a union may give)."""

    js_type = "RangeAreas"
    js_properties = ("address", "areaCount", "areas")

    def __init__(self, sheet: Worksheet, rects: List[Rect]) -> None:
        self.sheet = sheet
        self.rects = rects

    @property
    def address(self) -> str:
        return ",".join(f"{self.sheet.name}!{r.address()}" for r in self.rects)

    @property
    def areaCount(self) -> int:
        return len(self.rects)

    @property
    def areas(self) -> List[Range]:
        return [Range(self.sheet, r) for r in self.rects]


class RangeFormat(JsObject):
    js_type = "RangeFormat"
    js_properties = ("font", "fill")

    def __init__(self, target: Range) -> None:
        self.font = StyleGroup(target, "RangeFont", ("bold", "italic", "color"))
        self.fill = StyleGroup(target, "RangeFill", ("color",))


class StyleGroup(JsObject):
    """Font or fill of a range: a read gives the common value, or None when cells differ."""

    def __init__(self, target: Range, js_type: str, keys: Tuple[str, ...]) -> None:
        object.__setattr__(self, "target", target)
        object.__setattr__(self, "js_type", js_type)
        object.__setattr__(self, "js_writable", keys)
        object.__setattr__(self, "prefix", js_type[5:].lower() + ".")

    def __getattr__(self, name: str) -> Any:
        if name not in self.js_writable:
            raise AttributeError(name)
        styles = self.target.sheet.styles
        found = {styles.get(cell, {}).get(self.prefix + name) for cell in self.target.rect.cells()}
        return found.pop() if len(found) == 1 else None

    def __setattr__(self, name: str, value: Any) -> None:
        for cell in self.target.rect.cells():
            self.target.sheet.styles.setdefault(cell, {})[self.prefix + name] = value


class EventSource(JsObject):
    js_type = "EventHandlers"
    js_methods = ("add",)

    def __init__(self, sheet: Worksheet, rect: Optional[Rect]) -> None:
        self.sheet = sheet
        self.rect = rect

    def add(self, handler: Any) -> "EventRegistration":
        if not isinstance(handler, PythonCallback):
            raise AddinError("add: the handler must be a Python function")
        registration = EventRegistration(self.sheet, self.rect, handler)
        self.sheet.workbook.registrations.append(registration)
        return registration


class EventRegistration(JsObject):
    js_type = "EventHandlerResult"
    js_methods = ("remove",)

    def __init__(self, sheet: Worksheet, rect: Optional[Rect], handler: PythonCallback) -> None:
        self.sheet = sheet
        self.rect = rect
        self.handler = handler

    def remove(self) -> None:
        if self in self.sheet.workbook.registrations:
            self.sheet.workbook.registrations.remove(self)


def union(*ranges: Any) -> Any:
    """One Range when the pieces make one rectangle, else RangeAreas."""
    sheet, rects = _same_sheet(ranges, "Union", 2)
    kept: List[Rect] = []
    for r in rects:
        if not any(k.contains(r) for k in kept):
            kept = [k for k in kept if not r.contains(k)] + [r]
    return Range(sheet, kept[0]) if len(kept) == 1 else RangeAreas(sheet, kept)


def intersect(*ranges: Any) -> Optional[Range]:
    """The common rectangle, or None when the ranges do not meet."""
    sheet, rects = _same_sheet(ranges, "Intersect", 2)
    common: Optional[Rect] = rects[0]
    for r in rects[1:]:
        common = common.intersect(r) if common else None
    return Range(sheet, common) if common else None


def _same_sheet(ranges: Tuple[Any, ...], what: str, least: int) -> Tuple[Worksheet, List[Rect]]:
    if len(ranges) < least or not all(isinstance(r, (Range, RangeAreas)) for r in ranges):
        raise AddinError(f"{what} takes at least {least} ranges")
    sheets = {id(r.sheet) for r in ranges}
    if len(sheets) != 1:
        raise AddinError(f"{what}: the ranges must be on the same worksheet")
    rects = [rect for r in ranges for rect in (r.rects if isinstance(r, RangeAreas) else [r.rect])]
    return ranges[0].sheet, rects
