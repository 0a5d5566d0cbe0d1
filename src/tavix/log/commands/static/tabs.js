// A tab list and its panels, by the ARIA tabs pattern: the chosen tab is
// aria-selected and the only one in the tab order, ← → Home End move to a
// tab and show its panel. Views register further tabs with add().
import { el } from "./dom.js";

export class Tabs {
  // `tablist` holds buttons with data-<attribute> naming the tab and
  // aria-controls naming its panel.
  constructor(tablist, attribute) {
    this.tablist = tablist;
    this.attribute = attribute;
    this.tabs = new Map();   // name -> {button, panel, onShow}
    this.current = null;
    tablist.setAttribute("role", "tablist");
    for (const button of tablist.querySelectorAll("[role=tab]")) {
      this.register(button.dataset[attribute], button, document.getElementById(button.getAttribute("aria-controls")));
    }
    tablist.addEventListener("keydown", (event) => this.onKey(event));
  }

  // Adds the tab `name` showing `panel`; `onShow()` runs each time it is
  // chosen. `label` is the tab's text (a string or nodes).
  add(name, { label, panel, onShow = null }) {
    const button = el("button", { className: "tab" }, ...[label].flat());
    button.setAttribute("role", "tab");
    button.dataset[this.attribute] = name;
    this.tablist.append(button);
    this.register(name, button, panel);
    if (onShow) this.onShow(name, onShow);
    return button;
  }

  register(name, button, panel) {
    button.id ||= `tab-${name}`;
    panel.id ||= `panel-${name}`;
    button.setAttribute("aria-controls", panel.id);
    panel.setAttribute("role", "tabpanel");
    panel.setAttribute("aria-labelledby", button.id);
    this.tabs.set(name, { button, panel, onShow: [] });
    button.addEventListener("click", () => this.show(name));
    if (this.current === null && button.classList.contains("active")) this.current = name;
    this.mark(name, name === this.current);
  }

  // Runs `callback()` each time tab `name` is shown.
  onShow(name, callback) {
    this.tabs.get(name).onShow.push(callback);
  }

  mark(name, chosen) {
    const { button, panel } = this.tabs.get(name);
    button.classList.toggle("active", chosen);
    button.setAttribute("aria-selected", String(chosen));
    button.tabIndex = chosen ? 0 : -1;
    panel.hidden = !chosen;
  }

  show(name) {
    if (!this.tabs.has(name)) return;
    this.current = name;
    for (const other of this.tabs.keys()) this.mark(other, other === name);
    for (const callback of this.tabs.get(name).onShow) callback();
  }

  onKey(event) {
    const names = [...this.tabs.keys()].filter((name) => !this.tabs.get(name).button.hidden);
    const at = names.indexOf(event.target.closest("[role=tab]")?.dataset[this.attribute]);
    if (at < 0) return;
    const moves = { ArrowRight: at + 1, ArrowLeft: at - 1, Home: 0, End: names.length - 1 };
    if (!(event.key in moves)) return;
    event.preventDefault();
    const name = names[(moves[event.key] + names.length) % names.length];
    this.show(name);
    this.tabs.get(name).button.focus();
  }
}
