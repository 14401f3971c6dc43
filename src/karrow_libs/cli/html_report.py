"""``--html FILE``: the run's report as one self-contained web page.

The page is drawn from the dict of :func:`karrow_libs.cli.json_report.report_dict`
only.  Charts are matplotlib figures inlined as SVG, and the styles sit in the
page, so it opens in any browser without a network.  Every section and chart
carries a ``data-section`` / ``data-chart`` attribute, so a test (or a reader's
script) can find them.
"""

import html
import io
import json

__all__ = ["render_html", "SECTIONS"]

#: The page's sections in order: (id, title).
SECTIONS = (
    ("summary", "Summary"),
    ("scores", "Cross-validated scores per fold"),
    ("kept", "Kept derived features"),
    ("profiles", "How the target varies with each kept feature"),
    ("plan", "Preparation of each source column"),
    ("search", "Candidates searched"),
)

_ORIGINAL, _ENGINEERED = "#8c8c8c", "#1f77b4"

_STYLE = """
body{font-family:system-ui,-apple-system,"Segoe UI",Roboto,sans-serif;max-width:1100px;margin:2em auto;padding:0 1em;
color:#222;line-height:1.4}
h1{font-size:1.6em;margin-bottom:.2em}h2{font-size:1.25em;border-bottom:1px solid #ddd;padding-bottom:.2em;margin-top:2em}
table{border-collapse:collapse;margin:.6em 0;font-size:.92em}th,td{padding:.25em .7em;border-bottom:1px solid #eee;
text-align:left;vertical-align:top}td.num{text-align:right;font-variant-numeric:tabular-nums}
code{font-family:ui-monospace,Menlo,Consolas,monospace;font-size:.95em}
.headline{font-size:1.15em;margin:.8em 0}.better{color:#137333;font-weight:600}.worse{color:#b3261e;font-weight:600}
.warning{background:#fff4e5;border-left:4px solid #f0a030;padding:.4em .8em;margin:.4em 0}
.charts{display:flex;flex-wrap:wrap;gap:1em}figure{margin:0}figure svg{max-width:100%;height:auto}
figcaption{font-size:.85em;color:#555;max-width:520px}
details pre{background:#f7f7f7;padding:.5em;overflow:auto;font-size:.85em}
.muted{color:#666}
"""


def _e(text):
    return html.escape(str(text), quote=True)


def _fmt(x, digits=3):
    if x is None:
        return "n/a"
    if isinstance(x, int):
        return "{:,}".format(x)
    if abs(x) >= 1000:
        return "{:,.0f}".format(x)
    return "{:.{}f}".format(x, digits)


def _svg(fig):
    """The figure as an inline <svg> element (no XML prologue, no timestamp)."""
    import matplotlib.pyplot as plt

    buf = io.StringIO()
    fig.savefig(buf, format="svg", bbox_inches="tight", metadata={"Date": None})
    plt.close(fig)
    text = buf.getvalue()
    return text[text.index("<svg"):]


def _plain(text):
    """``text`` for a matplotlib label: a ``$`` marks an input column here, not mathematics."""
    return str(text).replace("$", r"\$")


def _figure(kind, svg, caption):
    return ('<figure class="chart" data-chart="' + _e(kind) + '">' + svg + "<figcaption>" + _e(caption)
            + "</figcaption></figure>")


def _pyplot():
    import matplotlib

    # Never open a window or need a display: the page is written from a terminal or a batch job.
    matplotlib.use("Agg", force=False)
    import matplotlib.pyplot as plt

    plt.rcParams.update({"svg.fonttype": "none", "svg.hashsalt": "karrow-fe", "font.size": 9})
    return plt


def _fold_chart(plt, model, metric):
    """Per-fold scores of each column set for one model and metric, as grouped bars."""
    pipelines = model["pipelines"]
    folds = model["folds"]
    fig, ax = plt.subplots(figsize=(max(3.2, 0.75 * folds + 1.6), 2.6))
    width = 0.8 / max(len(pipelines), 1)
    lows = []
    for i, p in enumerate(pipelines):
        scores = p["scores"][metric["name"]]["per_fold"]
        values = [s if s is not None else 0.0 for s in scores]
        lows.extend(values)
        color = _ENGINEERED if p["columns"] == "engineered" else _ORIGINAL
        ax.bar([k + 1 + (i - (len(pipelines) - 1) / 2) * width for k in range(len(values))], values, width,
               label=p["columns"] + " (" + str(p["n_columns"]) + " columns)", color=color)
    if lows:
        low, high = min(lows), max(lows)
        pad = max((high - low) * 0.6, 0.01)
        ax.set_ylim(max(low - pad, min(low, 0.0)) if low > 0 else low - pad, high + pad * 0.6)
    ax.set_xticks(range(1, folds + 1))
    ax.set_xlabel("fold")
    ax.set_ylabel(_plain(metric["label"]))
    ax.set_title(_plain(model["model"] + ": " + metric["label"]), fontsize=9)
    ax.legend(fontsize=7, loc="lower right", frameon=False)
    for side in ("top", "right"):
        ax.spines[side].set_visible(False)
    return _svg(fig)


def _score_chart(plt, kept, score_name):
    """The kept features' scores as horizontal bars, best on top."""
    labels = [_plain(k["expression"] if len(k["expression"]) <= 48 else k["expression"][:45] + "...") for k in kept]
    values = [k["score"] if k["score"] is not None else 0.0 for k in kept]
    fig, ax = plt.subplots(figsize=(6.4, 0.32 * len(kept) + 0.9))
    ax.barh(range(len(kept))[::-1], values, color=_ENGINEERED)
    ax.set_yticks(range(len(kept))[::-1])
    ax.set_yticklabels(labels, fontsize=7)
    ax.set_xlabel(_plain(score_name))
    return _svg(fig)


def _profile_chart(plt, profile, target, task):
    """The target's mean (or each class's share) per bin of the feature, with the bin's rows as bars behind."""
    bins = profile["bins"]
    centres = [(b["low"] + b["high"]) / 2 if b["low"] is not None and b["high"] is not None else float(i)
               for i, b in enumerate(bins)]
    fig, ax = plt.subplots(figsize=(3.6, 2.5))
    rows_ax = ax.twinx()
    rows_ax.bar(range(len(bins)), [b["rows"] for b in bins], color="#e6e6e6", width=0.85)
    rows_ax.set_ylabel("rows", fontsize=7, color="#888")
    rows_ax.tick_params(labelsize=6, colors="#888")
    ax.set_zorder(rows_ax.get_zorder() + 1)
    ax.patch.set_visible(False)
    if task == "classification":
        classes = list(bins[0].get("share", {})) if bins else []
        # Two classes: the second one's share says it all.
        shown = classes[1:] if len(classes) == 2 else classes[:6]
        for c in shown:
            ax.plot(range(len(bins)), [b["share"].get(c) for b in bins], marker="o", ms=3, label=_plain("share of " + c))
        ax.set_ylabel("share of rows")
        if shown:
            ax.legend(fontsize=6, frameon=False)
    else:
        ax.plot(range(len(bins)), [b.get("mean") for b in bins], marker="o", ms=3, color=_ENGINEERED)
        ax.set_ylabel(_plain("mean " + target))
    ticks = list(range(len(bins)))
    ax.set_xticks(ticks)
    ax.set_xticklabels([_fmt(c, 2) if c is not None else "" for c in centres], rotation=45, fontsize=6, ha="right")
    ax.set_xlabel("bin of the feature (its centre)", fontsize=7)
    title = profile["expression"]
    ax.set_title(_plain(title if len(title) <= 60 else title[:57] + "..."), fontsize=7)
    return _svg(fig)


def _table(headers, rows, numeric=()):
    out = ["<table><thead><tr>" + "".join("<th>" + _e(h) + "</th>" for h in headers) + "</tr></thead><tbody>"]
    for row in rows:
        out.append("<tr>" + "".join(("<td class=\"num\">" if i in numeric else "<td>") + cell + "</td>"
                                    for i, cell in enumerate(row)) + "</tr>")
    out.append("</tbody></table>")
    return "".join(out)


def _headline(facts):
    models = facts["comparison"]["models"]
    if not models:
        return "<p class=\"headline\">Model comparison skipped (" + _e(facts["comparison"]["skipped"]) + ").</p>"
    parts = []
    for model in models:
        by_columns = {p["columns"]: p for p in model["pipelines"]}
        if "original" not in by_columns or "engineered" not in by_columns:
            continue
        metric = model["metrics"][0]
        base = by_columns["original"]["scores"][metric["name"]]["mean"]
        eng = by_columns["engineered"]["scores"][metric["name"]]["mean"]
        better = base is not None and eng is not None and eng > base
        parts.append(_e(model["model"]) + ", " + _e(metric["label"]) + ": original <b>" + _fmt(base)
                     + "</b> &rarr; engineered <span class=\"" + ("better" if better else "worse") + "\">"
                     + _fmt(eng) + "</span> (mean of " + str(model["folds"]) + " folds)")
    return "".join("<p class=\"headline\">" + p + "</p>" for p in parts)


def _section(key, body):
    title = dict(SECTIONS)[key]
    return "<section data-section=\"" + key + "\" id=\"" + key + "\"><h2>" + _e(title) + "</h2>" + body + "</section>"


def render_html(facts):
    """The page (a str) of a report dict."""
    plt = _pyplot()
    parts = [_section("summary", _summary(facts)), _section("scores", _scores(plt, facts)),
             _section("kept", _kept(plt, facts)), _section("profiles", _profiles(plt, facts)),
             _section("plan", _plan(facts)), _section("search", _search(facts))]
    data = facts["data"]
    title = "karrow-fe report: " + data["target"] + " in " + data["source"].split(" (")[0]
    return ("<!DOCTYPE html>\n<html lang=\"en\"><head><meta charset=\"utf-8\">"
            "<meta name=\"viewport\" content=\"width=device-width, initial-scale=1\">"
            "<title>" + _e(title) + "</title><style>" + _STYLE + "</style></head><body>"
            "<h1>" + _e(title) + "</h1>" + "".join(parts)
            + "<p class=\"muted\">Written by karrow-fe; the same facts are in its text report and in --json.</p>"
            "</body></html>\n")


def _summary(facts):
    data, sel = facts["data"], facts["selection"]
    return ("<p>" + _e(data["source"]) + ": " + _fmt(data["rows"]) + " rows, " + _fmt(data["feature_columns"])
            + " feature columns, target <code>" + _e(data["target"]) + "</code> (" + _e(data["task"]) + ", "
            + _e(data["task_from"]) + ")"
            + (", " + _fmt(data["dropped_rows"]) + " row(s) without a target left out" if data["dropped_rows"] else "")
            + ".</p><p>" + _fmt(facts["search"]["candidates"]) + " candidates searched; selector <code>"
            + _e(sel["selector"]) + "</code> kept " + str(sel["derived_columns"]) + " derived column(s) beside "
            + str(sel["original_columns"]) + " prepared ones.</p>" + _headline(facts)
            + "".join("<p class=\"warning\">warning: " + _e(w) + "</p>" for w in facts["warnings"]))


def _scores(plt, facts):
    models = facts["comparison"]["models"]
    if not models:
        return "<p>Model comparison skipped (" + _e(facts["comparison"]["skipped"]) + ").</p>"
    charts = [_figure("folds", _fold_chart(plt, m, metric),
                      m["model"] + ", " + metric["label"] + " per fold; the preparation and the search are "
                      "refitted in every fold")
              for m in models for metric in m["metrics"]]
    rows = []
    for m in models:
        for p in m["pipelines"]:
            for metric in m["metrics"]:
                s = p["scores"][metric["name"]]
                rows.append([_e(m["model"]), _e(p["columns"]), _fmt(p["n_columns"]), _e(metric["label"]),
                             _fmt(s["mean"]), _fmt(s["sd"]), _fmt(s["worst"]),
                             " ".join(_fmt(v) for v in s["per_fold"])])
    return ("<div class=\"charts\">" + "".join(charts) + "</div>"
            + _table(["model", "columns", "n", "metric", "mean", "sd", "worst", "per fold"], rows, (2, 4, 5, 6)))


def _kept(plt, facts):
    """One block per model family: the features chosen for it, as a chart and a table."""
    sel = facts["selection"]
    families = ([(facts.get("model"), facts["kept"], sel["score_name"], sel["scored_against"])]
                + [(o["model"], o["kept"], "score", "") for o in facts.get("other_models", [])])
    blocks = []
    for model, items, score_name, about in families:
        title = "<h3>Chosen for " + _e(model) + "</h3>" if model else ""
        if not items:
            blocks.append(title + "<p>No derived feature was kept.</p>")
            continue
        rows = [[str(k["rank"]), _fmt(k["score"]), "<code>" + _e(k["expression"]) + "</code>",
                 "<details><summary>" + _e(k["transform"] or "") + "</summary><pre>"
                 + _e(json.dumps(k["lineage"], indent=1)) + "</pre></details>"] for k in items]
        blocks.append(title + ("<p class=\"muted\">" + _e(score_name) + ": " + _e(about) + "</p>" if about else "")
                      + _figure("scores", _score_chart(plt, items, score_name), "score of each kept feature")
                      + _table(["#", score_name, "feature", "lineage"], rows, (0, 1)))
    return "".join(blocks)


def _profiles(plt, facts):
    data, profiles = facts["data"], facts["target_profiles"]
    if not profiles:
        kept = facts["kept"] + [k for o in facts.get("other_models", []) for k in o["kept"]]
        return "<p>" + ("No derived feature was kept." if not kept else "No kept feature has finite values to bin.") + "</p>"
    return ("<p class=\"muted\">The training rows split into bins of the feature's values (grey bars: rows per "
            "bin); the line is the " + ("share of each class" if data["task"] == "classification"
                                         else "mean of " + _e(data["target"])) + " in each bin.</p>"
            + "<div class=\"charts\">"
            + "".join(_figure("profile", _profile_chart(plt, p, data["target"], data["task"]), p["expression"])
                      for p in profiles if p["bins"]) + "</div>")


def _plan(facts):
    rows = []
    for step in facts["preparation"]["plan"]:
        outputs = step["outputs"]
        shown = ", ".join(outputs[:8]) + (", ... (" + str(len(outputs)) + " in all)" if len(outputs) > 8 else "")
        rows.append(["<code>" + _e(step["column"]) + "</code>", _e(step["kind"]), _e(step["how"] or step["reason"]),
                     "<code>" + _e(shown) + "</code>" if shown else ""])
    kinds = ", ".join(str(n) + " " + k for k, n in facts["preparation"]["kinds"].items() if n)
    return ("<p>" + _fmt(facts["preparation"]["columns"]) + " prepared columns: " + _e(kinds) + ".</p>"
            + _table(["source column", "kind", "how (or why left out)", "prepared columns"], rows))


def _search(facts):
    rows = [[str(s["round"]), _e(s["transform"]), _fmt(s["considered"]), _fmt(s["constant"]), _fmt(s["copies"]),
             _e(s["skipped"] or "")] for s in facts["search"]["per_transform"]]
    sampled = facts["search"]["sampled_rows"]
    return (("<p>Screened on a sample of " + _fmt(sampled) + " rows, the best rescored on all.</p>" if sampled else "")
            + _table(["round", "transform", "considered", "constant", "copies", "skipped"], rows, (0, 2, 3, 4)))
