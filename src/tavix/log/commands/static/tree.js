// The test tree: tasks, their sections and steps, from the compact tree
// answer, drawn by the virtual list (only the rows in view are in the DOM).
// An ARIA tree: ↑ ↓ Home End move, → unfolds or goes to the first child,
// ← folds or goes to the parent, Enter opens a section (folds a task).
import { resultMark, resultText } from "./dom.js";
import { VirtualList } from "./vlist.js";

const ROW = 24;        // px; every row has the same height

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
  // `viewport` scrolls; `content` (role tree) holds the drawn rows.
  constructor(viewport, content) {
    this.nodes = [];
    this.onOpen = () => {};
    this.keys = new Map();
    this.ids = new Map();
    this.collapsed = new Set();   // node indexes
    this.filter = null;           // Uint8Array of kept nodes, or null
    this.selected = -1;
    this.visible = [];            // row -> node index
    this.list = new VirtualList(viewport, content, { rowHeight: ROW, rowRole: "treeitem", overscan: 12,
      render: (row) => this.row(this.nodes[this.visible[row]], row) });
    this.list.onActivate = (row, event) => this.activate(this.nodes[this.visible[row]], event);
    this.list.onKey = (event, row) => this.onKey(event, this.nodes[this.visible[row]]);
    this.badges = null;
    this.decorate((element, node) => {
      const badge = this.badges?.get(node.id);
      if (badge !== undefined) element.append(Object.assign(document.createElement("span"), { className: "badge-count", textContent: badge }));
    });
  }

  // Adds `decorate(element, node)`, called on every row as it is drawn
  // (after its name, kind and time); redraw() applies a change at once.
  decorate(decorate) {
    this.list.decorators.push((element, row) => decorate(element, this.nodes[this.visible[row]]));
  }

  redraw() {
    this.list.redraw();
  }

  schedule() {
    this.list.schedule();
  }

  // Moves the focus to the row holding the tab stop.
  focus() {
    this.list.focusRow(this.list.active);
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

  foldable(node) {
    return node.children > 0 && node.step === null;
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
    this.siblings = siblingPositions(visible.map((i) => nodes[i].depth));
    // The tab stop follows the selected node, or stays on its row.
    const selectedRow = this.selected >= 0 ? this.visibleAt(this.selected) : -1;
    if (selectedRow >= 0) this.list.active = selectedRow;
    this.list.setCount(visible.length);
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
    if (row >= 0) this.list.reveal(row);
  }

  row(node, row) {
    const element = document.createElement("div");
    const classes = ["node", "vrow"];
    if (node.type === "task") classes.push("task");
    if (node.step !== null) classes.push("step");
    if (node.index === this.selected) classes.push("selected");
    element.className = classes.join(" ");
    element.dataset.key = node.key;
    element.style.paddingLeft = `${6 + 14 * node.depth}px`;
    element.setAttribute("aria-level", String(node.depth + 1));
    element.setAttribute("aria-selected", String(node.index === this.selected));
    element.setAttribute("aria-posinset", String(this.siblings.position[row]));
    element.setAttribute("aria-setsize", String(this.siblings.size[row]));
    const twisty = document.createElement("span");
    twisty.className = "twisty";
    twisty.setAttribute("aria-hidden", "true");
    if (this.foldable(node)) {
      const folded = this.collapsed.has(node.index);
      twisty.textContent = folded ? "▸" : "▾";
      element.setAttribute("aria-expanded", String(!folded));
    }
    const name = document.createElement("span");
    name.className = "name";
    name.textContent = name.title = node.name;
    element.append(twisty, resultMark(node.result), name, resultText(node.result));
    const kind = node.type === "step" ? "" : kindLabel(node.type);
    if (kind) element.append(Object.assign(document.createElement("span"), { className: "kind", textContent: kind }));
    if (node.runTime) element.append(Object.assign(document.createElement("span"), { className: "time", textContent: node.runTime }));
    return element;
  }

  // --------------------------------------------------------------- keyboard
  activate(node, event) {
    if (node.type === "task" || event.target.classList?.contains("twisty")) {
      if (node.children) this.toggle(node.index);
      return;
    }
    this.onOpen(node.key);
  }

  onKey(event, node) {
    const row = this.visibleAt(node.index);
    const folded = this.collapsed.has(node.index);
    if (event.key === "ArrowRight") {
      if (this.foldable(node) && folded) this.toggle(node.index);
      else if (this.foldable(node) && this.nodes[this.visible[row + 1]]?.depth > node.depth) this.list.focusRow(row + 1);
      return true;
    }
    if (event.key === "ArrowLeft") {
      if (this.foldable(node) && !folded) {
        this.toggle(node.index);
      } else {
        const parent = this.visibleAt(node.step !== null ? node.owner : node.parent);
        if (parent >= 0) this.list.focusRow(parent);
      }
      return true;
    }
    return false;
  }
}

// aria-posinset and aria-setsize of rows at `depths` in tree order: a row's
// siblings are the rows of its depth until a shallower one.
export function siblingPositions(depths) {
  const position = new Uint32Array(depths.length);
  const group = new Int32Array(depths.length);
  const sizes = [];
  const open = [];  // depth -> group id of the run of siblings in progress
  depths.forEach((depth, row) => {
    open.length = Math.min(open.length, depth + 1);
    if (open[depth] === undefined) {
      open[depth] = sizes.length;
      sizes.push(0);
    }
    group[row] = open[depth];
    position[row] = ++sizes[open[depth]];
  });
  return { position, size: Uint32Array.from(group, (g) => sizes[g]) };
}
