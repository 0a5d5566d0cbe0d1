// The test tree: tasks, their sections and steps, from the compact tree
// answer. Only the rows in view are in the DOM, so a job of tens of thousands
// of sections costs what is on screen.
import { resultClass } from "./dom.js";

const ROW = 24;        // px; every row has the same height
const OVERSCAN = 12;   // rows drawn above and below the viewport

const KIND = { testscript: "script", commonSetup: "setup", commonCleanup: "cleanup",
  subsection: "subsection", testcase: "testcase", subtest: "subtest", testsection: "section" };

export function kindLabel(type) {
  return KIND[type] || type;
}

// Nodes in tree order from the /tree answer. Task rows come first in their
// task: {type: "task", id: "task/<t>"}; the rest carry the route key
// "task/<t>/section/<seq>[/step/<i>]" that names them in the URL.
export function treeNodes(answer) {
  const nodes = [];
  let row = 0;
  answer.tasks.forEach((task, t) => {
    const taskIndex = nodes.length;
    nodes.push({ key: `task/${t}`, id: `task/${t}`, index: taskIndex, parent: -1, depth: 0, task: t,
      name: task.name, type: "task", result: task.result || "", runTime: task.run_time, seq: null,
      step: null, owner: null, children: 0 });
    const base = nodes.length - row;  // row index -> node index within this task
    for (const end = row + task.rows; row < end; row++) {
      const [id, parentRow, name, type, result, runTime, seq, step] = answer.rows[row];
      const parent = parentRow < 0 ? taskIndex : parentRow + base;
      const isStep = step !== null;
      const stepDepth = isStep ? String(name).split(" ")[0].split(".").length - 1 : 0;
      const node = { key: isStep ? `task/${t}/section/${seq}/step/${step}` : `task/${t}/section/${seq}`,
        id, index: nodes.length, parent, depth: nodes[parent].depth + 1 + stepDepth, task: t, name,
        type: answer.types[type], result: answer.results[result], runTime, seq, step,
        owner: isStep ? parent : null, children: 0 };
      nodes[parent].children++;
      nodes.push(node);
    }
  });
  return nodes;
}

export class TestTree {
  constructor(viewport, content) {
    this.viewport = viewport;   // the scrolling element
    this.content = content;     // holds the drawn rows; sized to all visible rows
    this.nodes = [];
    this.onOpen = () => {};
    this.keys = new Map();
    this.ids = new Map();
    this.collapsed = new Set();   // node indexes
    this.filter = null;           // Uint8Array of kept nodes, or null
    this.badges = null;
    this.decorate = () => null;   // node -> an element added to its row, or null
    this.selected = -1;
    this.visible = [];
    this.drawn = new Map();       // node index -> row element
    this.frame = 0;
    viewport.addEventListener("scroll", () => this.schedule());
    new ResizeObserver(() => this.schedule()).observe(viewport);
    content.addEventListener("click", (event) => this.onClick(event));
  }

  load(answer) {
    this.nodes = treeNodes(answer);
    this.keys = new Map(this.nodes.map((n) => [n.key, n]));
    this.ids = new Map(this.nodes.map((n) => [n.id, n]));
    this.collapsed.clear();
    this.filter = null;
    this.selected = -1;
    this.layout();
  }

  byKey(key) { return this.keys.get(key); }
  byId(id) { return this.ids.get(id); }

  select(key) {
    const node = this.keys.get(key);
    this.selected = node ? node.index : -1;
    if (node) {
      for (let p = node.parent; p >= 0; p = this.nodes[p].parent) this.collapsed.delete(p);
      if (this.filter && !this.filter[node.index]) this.setFilter(null);
      this.layout();
      this.reveal(node.index);
    } else {
      this.redraw();
    }
  }

  // Shows only the nodes `predicate` keeps, with their ancestors unfolded.
  setFilter(predicate) {
    if (!predicate) {
      this.filter = null;
    } else {
      const keep = new Uint8Array(this.nodes.length);
      for (const node of this.nodes) {
        if (node.type === "task" || !predicate(node)) continue;
        keep[node.index] = 1;
        for (let p = node.parent; p >= 0 && !keep[p]; p = this.nodes[p].parent) {
          keep[p] = 1;
          this.collapsed.delete(p);
        }
      }
      this.filter = keep;
    }
    this.layout();
    if (this.selected >= 0 && this.visibleAt(this.selected) >= 0) this.reveal(this.selected);
  }

  get filtered() { return this.filter !== null; }

  setBadges(badges) {
    this.badges = badges;
    this.redraw();
  }

  // The key of the next (direction 1) or previous (-1) node after the
  // selected one, in tree order, that `predicate` accepts; null when none.
  step(predicate, direction) {
    const n = this.nodes.length;
    let i = this.selected >= 0 ? this.selected : (direction > 0 ? -1 : n);
    for (i += direction; i >= 0 && i < n; i += direction) {
      const node = this.nodes[i];
      if (node.type !== "task" && predicate(node)) return node.key;
    }
    return null;
  }

  toggle(index) {
    if (this.collapsed.has(index)) this.collapsed.delete(index);
    else this.collapsed.add(index);
    this.layout();
  }

  // ---------------------------------------------------------------- drawing
  layout() {
    const visible = [];
    const nodes = this.nodes;
    for (let i = 0; i < nodes.length; i++) {
      if (this.filter && !this.filter[i]) continue;
      visible.push(i);
      // A folded node hides its subtree: in tree order, the deeper nodes
      // right after it.
      if (this.collapsed.has(i)) {
        const depth = nodes[i].depth;
        const task = nodes[i].task;
        let j = i + 1;
        while (j < nodes.length && nodes[j].task === task && nodes[j].depth > depth) j++;
        i = j - 1;
      }
    }
    this.visible = visible;
    this.position = null;
    this.content.style.height = `${visible.length * ROW}px`;
    this.redraw();
  }

  visibleAt(index) {
    if (!this.position) {
      this.position = new Map();
      this.visible.forEach((nodeIndex, row) => this.position.set(nodeIndex, row));
    }
    return this.position.get(index) ?? -1;
  }

  reveal(index) {
    const row = this.visibleAt(index);
    if (row < 0) return;
    const top = this.content.offsetTop + row * ROW;
    const { scrollTop, clientHeight } = this.viewport;
    if (top < scrollTop) this.viewport.scrollTop = top;
    else if (top + ROW > scrollTop + clientHeight) this.viewport.scrollTop = top + ROW - clientHeight;
    this.redraw();
  }

  schedule() {
    if (!this.frame) this.frame = requestAnimationFrame(() => { this.frame = 0; this.draw(); });
  }

  redraw() {
    for (const row of this.drawn.values()) row.remove();
    this.drawn.clear();
    this.draw();
  }

  draw() {
    const { scrollTop, clientHeight } = this.viewport;
    const offset = this.content.offsetTop;  // the viewport is the offset parent
    const first = Math.max(0, Math.floor((scrollTop - offset) / ROW) - OVERSCAN);
    const last = Math.min(this.visible.length, Math.ceil((scrollTop - offset + clientHeight) / ROW) + OVERSCAN);
    const wanted = new Set();
    for (let row = first; row < last; row++) {
      const index = this.visible[row];
      wanted.add(index);
      let element = this.drawn.get(index);
      if (!element) {
        element = this.row(this.nodes[index]);
        this.drawn.set(index, element);
        this.content.append(element);
      }
      element.style.top = `${row * ROW}px`;
    }
    for (const [index, element] of this.drawn) {
      if (!wanted.has(index)) {
        element.remove();
        this.drawn.delete(index);
      }
    }
  }

  row(node) {
    const element = document.createElement("div");
    const classes = ["node", "vrow"];
    if (node.type === "task") classes.push("task");
    if (node.step !== null) classes.push("step");
    if (node.index === this.selected) classes.push("selected");
    element.className = classes.join(" ");
    element.dataset.key = node.key;
    element.dataset.index = node.index;
    element.style.paddingLeft = `${6 + 14 * node.depth}px`;
    const twisty = document.createElement("span");
    twisty.className = "twisty";
    if (node.children && node.step === null) twisty.textContent = this.collapsed.has(node.index) ? "▸" : "▾";
    const dot = document.createElement("span");
    dot.className = `dot ${resultClass(node.result)}`;
    dot.title = node.result || "";
    const name = document.createElement("span");
    name.className = "name";
    name.textContent = name.title = node.name;
    element.append(twisty, dot, name);
    const kind = node.type === "step" ? "" : kindLabel(node.type);
    if (kind) element.append(Object.assign(document.createElement("span"), { className: "kind", textContent: kind }));
    if (node.runTime) element.append(Object.assign(document.createElement("span"), { className: "time", textContent: node.runTime }));
    const badge = this.badges?.get(node.id);
    if (badge !== undefined) element.append(Object.assign(document.createElement("span"), { className: "badge-count", textContent: badge }));
    const mark = this.decorate(node);
    if (mark) element.append(mark);
    return element;
  }

  onClick(event) {
    const element = event.target.closest(".node");
    if (!element) return;
    const node = this.nodes[+element.dataset.index];
    if (node.type === "task" || event.target.classList.contains("twisty")) {
      if (node.children) this.toggle(node.index);
      return;
    }
    this.onOpen(node.key);
  }
}
