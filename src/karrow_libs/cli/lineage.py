"""Render the JSON lineage of a column as a readable expression.

Every column the transforms produce carries a JSON name object describing how
it was derived.  Three shapes occur, nested to any depth:

* ``{"name": "$bmi"}``: an input column, rendered as ``$bmi``;
* ``{"expression": {"op": "product", "params": [p1, p2]}}``: a transform
  applied to other columns, rendered as ``product(p1, p2)``;
* ``{"output_index": j}`` as the first parameter of an expression: the
  expression yields several columns and this is output ``j``, rendered as a
  subscript on the operator, ``groupbymean[1]($a, $b)``.

Anything else (a hand-edited file, a future shape) is rendered as compact
JSON rather than rejected, so a report never fails on an odd lineage.
"""

import json

__all__ = ["render", "depth"]


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
        if isinstance(item, dict) and set(item) == {"name"}:
            out.append(str(item["name"]))
            continue
        expr = _expression(item)
        if expr is None:
            out.append(_fallback(item))
            continue
        op, params = expr
        head = str(op)
        if params and _is_output_index(params[0]):
            head += "[" + str(params[0]["output_index"]) + "]"
            params = params[1:]
        out.append(head + "(")
        pending = []
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

