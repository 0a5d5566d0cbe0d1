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
