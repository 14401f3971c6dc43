"""Render the JSON lineage of a column as a readable expression.

Every column the transforms produce carries a JSON name object describing how
it was derived.  These shapes occur, nested to any depth:

* ``{"name": "$bmi"}``: an input column, rendered ``$bmi``.  A header that is
  not a plain word (it holds spaces, commas, brackets, ``__``, ...) is quoted,
  ``$"body mass"``, so that an expression reads one way only;
* ``{"expression": {"op": "product", "params": [p1, p2]}}``: a transform
  applied to other columns, rendered ``product(p1, p2)``;
* ``{"output_index": j}`` as the first parameter: the expression yields
  several columns and this is output ``j``, rendered ``groupbymean[1]($a, $b)``;
* ``{"value": v}``: a constant, rendered ``str(v)``; op ``"is"`` (a one-hot
  level) renders ``$sex=female`` and op ``"target_mean"`` renders
  ``mean(target | $city)``;
* ``{"all_inputs": true}``: every input column, rendered ``*`` -- the
  argument of a whole-table transform, ``pca[0](*)``.

Anything else (a hand-edited file, a future shape) is rendered as compact
JSON rather than rejected, so a report never fails on an odd lineage.
"""

import json
import re

__all__ = ["render", "depth", "input_name", "mark_whole_table"]

_PLAIN = re.compile(r"[A-Za-z0-9_.\-]+\Z")


def input_name(name):
    """``$name`` for an input column, quoted when the header is not a plain word."""
    name = str(name)
    if name.startswith("$"):
        name = name[1:]
    if _PLAIN.match(name) and "__" not in name:
        return "$" + name
    return "$" + json.dumps(name, ensure_ascii=False)


def _is_output_index(param):
    return isinstance(param, dict) and set(param) == {"output_index"}


def _expression(obj):
    """The ``(op, params)`` of an expression object, or ``None``."""
    if not isinstance(obj, dict) or set(obj) != {"expression"}:
        return None
    inner = obj["expression"]
    if not isinstance(inner, dict) or "op" not in inner:
        return None
    params = inner.get("params", [])
    if not isinstance(params, (list, tuple)):
        return None
    return inner["op"], list(params)


def _fallback(obj):
    try:
        return json.dumps(obj, sort_keys=True, separators=(",", ":"), default=str)
    except (TypeError, ValueError):
        return repr(obj)


def _leaf(item):
    """The text of a leaf object, or ``None`` when ``item`` is not a leaf."""
    if isinstance(item, dict):
        if set(item) == {"name"}:
            return input_name(item["name"])
        if set(item) == {"value"}:
            return str(item["value"])
        if set(item) == {"all_inputs"}:
            return "*"
    return None


def render(obj):
    """The expression text of the JSON name object ``obj``.

    >>> render({"expression": {"op": "product", "params": [
    ...     {"expression": {"op": "sqrt", "params": [{"name": "$bmi"}]}},
    ...     {"name": "$bp"}]}})
    'product(sqrt($bmi), $bp)'
    """
    # An explicit stack instead of recursion: lineage produced by many rounds
    # may nest deeper than the interpreter's recursion limit allows.
    out = []
    stack = [("node", obj)]
    while stack:
        kind, item = stack.pop()
        if kind == "text":
            out.append(item)
            continue
        leaf = _leaf(item)
        if leaf is not None:
            out.append(leaf)
            continue
        expr = _expression(item)
        if expr is None:
            out.append(_fallback(item))
            continue
        op, params = expr
        if op == "is" and len(params) == 2:
            stack.extend([("node", params[1]), ("text", "="), ("node", params[0])])
            continue
        if op == "target_mean" and len(params) == 1:
            stack.extend([("text", ")"), ("node", params[0]), ("text", "mean(target | ")])
            continue
        head = str(op)
        if params and _is_output_index(params[0]):
            head += "[" + str(params[0]["output_index"]) + "]"
            params = params[1:]
        pending = [("text", head + "(")]
        for i, param in enumerate(params):
            if i:
                pending.append(("text", ", "))
            pending.append(("node", param))
        pending.append(("text", ")"))
        # The stack is last-in first-out: push the pieces in reverse.
        stack.extend(reversed(pending))
    return "".join(out)


def depth(obj):
    """How many transforms are stacked in ``obj``: 0 for an input column."""
    best = 0
    stack = [(obj, 0)]
    while stack:
        item, level = stack.pop()
        expr = _expression(item)
        if expr is None:
            best = max(best, level)
            continue
        for param in expr[1]:
            stack.append((param, level + 1))
        if not expr[1]:
            best = max(best, level + 1)
    return best


def whole_table_lineage(transform, name):
    """The lineage of output ``name`` of the whole-table transform ``transform``.

    Such transforms name their outputs ``pca_0``, ``pca_1``, ... and describe
    them by that bare name, which would read like an input column.
    """
    params = [{"all_inputs": True}]
    match = re.search(r"_(\d+)\Z", str(name).lstrip("$"))
    if match:
        params.insert(0, {"output_index": int(match.group(1))})
    return {"expression": {"op": str(transform), "params": params}}


def mark_whole_table(lineages, inputs, transforms):
    """``lineages`` with every bare name that is not an input replaced by a whole-table expression.

    ``inputs``: the names of the input columns (without ``$``); ``transforms``:
    name -> the transform that produced it, for derived columns.  Nested
    references (a second round over ``pca_0``) are replaced as well.
    """
    inputs = {str(n).lstrip("$") for n in inputs}

    def fix(obj):
        if isinstance(obj, dict) and set(obj) == {"name"}:
            bare = str(obj["name"]).lstrip("$")
            if bare not in inputs and bare in transforms:
                return whole_table_lineage(transforms[bare], bare)
            return obj
        expr = _expression(obj)
        if expr is None:
            return obj
        return {"expression": {"op": expr[0], "params": [fix(p) for p in expr[1]]}}

    return [fix(obj) for obj in lineages]
