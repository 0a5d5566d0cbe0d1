// Small DOM helpers shared by the views.
export const $ = (selector) => document.querySelector(selector);

export const el = (tag, props = {}, ...children) => {
  const node = Object.assign(document.createElement(tag), props);
  node.append(...children.filter((c) => c !== null && c !== undefined));
  return node;
};

// Result texts ("passed", "failed", "passx", "errored", ...) to colour groups.
export function resultClass(result) {
  const r = String(result || "").toLowerCase();
  if (!r) return "";
  for (const [prefix, group] of [["pass", "pass"], ["fail", "fail"], ["err", "error"],
    ["skip", "skip"], ["block", "block"], ["abort", "abort"]]) {
    if (r.startsWith(prefix)) return `r-${group}`;
  }
  return "r-other";
}

// The [kind, count] pairs of a run's summary that count results ("pass",
// "fail", ...), without its totals and rate.
export function summaryKinds(summary) {
  return Object.entries(summary).filter(([k]) => !["total_tasks", "applicable_tasks", "success_rate"].includes(k));
}

// Each colour group has a mark of its own shape too, so a result is told
// apart without its colour.
const MARKS = { "r-pass": "✓", "r-fail": "✕", "r-error": "!", "r-skip": "–", "r-block": "⊘",
  "r-abort": "■", "r-other": "?" };

// The coloured mark of `result`; hidden from screen readers, which read
// `resultText` instead.
export function resultMark(result) {
  const group = resultClass(result);
  const mark = el("span", { className: `dot ${group}`, title: result || "no result", textContent: MARKS[group] || "" });
  mark.setAttribute("aria-hidden", "true");
  return mark;
}

// `result` as text for screen readers only.
export function resultText(result) {
  return el("span", { className: "sr-only", textContent: result ? `, ${result}` : "" });
}
