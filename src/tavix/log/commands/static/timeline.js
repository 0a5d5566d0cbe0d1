// The Timeline view: the run's testcases (and setups and cleanups) as lanes on
// its time axis, each with its sections drawn inside by their start and stop
// times and coloured by result; above them the warning and error lines of the
// task logs over time. Wheel zooms, dragging pans; a click on a section or a
// bar opens that section at that time. By keyboard, the lanes take the focus:
// ↑ ↓ Home End choose a lane (read out), Enter opens its section, ← → pan,
// + and − zoom. Failed sections are hatched as well as coloured.
import { api } from "./api.js";
import { el } from "./dom.js";

const LANE = 22;          // px per lane
const HISTOGRAM = 84;     // px of the histogram canvas
const AXIS = 18;          // px of the time labels under the histogram
const RESULT_COLOURS = [["pass", "--pass"], ["fail", "--fail"], ["err", "--error"], ["skip", "--skip"],
  ["block", "--block"], ["abort", "--abort"]];

function cssColour(name) {
  return getComputedStyle(document.documentElement).getPropertyValue(name).trim() || "#8c959f";
}

function colourOf(result) {
  const r = String(result || "").toLowerCase();
  const found = RESULT_COLOURS.find(([prefix]) => r.startsWith(prefix));
  return cssColour(found ? found[1] : "--muted");
}

const FAILED = /^(fail|err|abort|block)/i;

// Diagonal white stripes laid over the bars of failed sections.
function hatchPattern(g) {
  const tile = document.createElement("canvas");
  tile.width = tile.height = 6;
  const t = tile.getContext("2d");
  t.strokeStyle = "rgba(255, 255, 255, 0.75)";
  t.lineWidth = 1.5;
  t.beginPath();
  t.moveTo(-1, 7);
  t.lineTo(7, -1);
  t.stroke();
  return g.createPattern(tile, "repeat");
}

function clock(seconds) {
  return new Date(seconds * 1000).toISOString().slice(11, 19);
}

// An axis label: the time of day, with the day when the view spans days.
function label(seconds, step) {
  const text = new Date(seconds * 1000).toISOString();
  if (step >= 86400) return text.slice(5, 10);
  if (step >= 3600) return `${text.slice(5, 10)} ${text.slice(11, 16)}`;
  return text.slice(11, 19);
}

function span(seconds) {
  if (seconds < 120) return `${seconds.toFixed(seconds < 10 ? 1 : 0)} s`;
  if (seconds < 7200) return `${(seconds / 60).toFixed(1)} min`;
  return `${(seconds / 3600).toFixed(1)} h`;
}

export class Timeline {
  constructor(root, tree, open) {
    this.root = root;
    this.tree = tree;
    this.open = open;    // (key, offset within the section's log or null)
    this.loaded = null;
    this.histogram = root.querySelector("#timeline-histogram");
    this.lanesBox = root.querySelector("#timeline-lanes");
    this.spacer = root.querySelector("#timeline-spacer");
    this.canvas = root.querySelector("#timeline-canvas");
    this.tip = root.querySelector("#timeline-tip");
    this.status = root.querySelector("#timeline-status");
    this.laneText = root.querySelector("#timeline-lane");
    this.cursor = -1;   // the lane chosen by keyboard
    this.lanesBox.addEventListener("keydown", (e) => this.onKey(e));
    root.querySelector("#timeline-in").addEventListener("click", () => this.zoom(0.5));
    root.querySelector("#timeline-out").addEventListener("click", () => this.zoom(2));
    root.querySelector("#timeline-fit").addEventListener("click", () => this.fit());
    this.lanesBox.addEventListener("scroll", () => this.draw());
    new ResizeObserver(() => this.draw()).observe(this.lanesBox);
    for (const canvas of [this.histogram, this.lanesBox]) {
      canvas.addEventListener("wheel", (e) => this.onWheel(e), { passive: false });
      canvas.addEventListener("pointerdown", (e) => this.onDown(e));
      canvas.addEventListener("pointermove", (e) => this.onMove(e));
      canvas.addEventListener("pointerup", (e) => this.onUp(e));
      canvas.addEventListener("pointerleave", () => { this.tip.hidden = true; });
    }
  }

  // Loads the times and the histograms once, then draws.
  show() {
    if (!this.loaded) this.loaded = this.load().catch((error) => {
      this.status.textContent = `Could not load the timeline: ${error.message}`;
      this.loaded = null;
    });
    return this.loaded.then(() => this.draw());
  }

  async load() {
    this.status.textContent = "Loading…";
    const answer = await api.timeline();
    const histograms = await Promise.all(answer.tasks.map((_, t) => api.histogram(t).catch(() => null)));
    this.histograms = histograms;
    this.lanes = [];
    this.rows = [];   // every section with its times and byte range, by task
    let low = Infinity, high = -Infinity;
    answer.tasks.forEach((task, t) => {
      const rows = [];
      for (const [id, start, stop, logStart, logSize] of task.sections) {
        const node = this.tree.byId(id);
        if (!node) continue;
        const row = { node, start, stop, logStart, logSize, task: t };
        rows.push(row);
        if (start !== null) low = Math.min(low, start);
        if (stop !== null) high = Math.max(high, stop);
      }
      this.rows.push(rows);
      // A lane for each section right below the script, holding everything
      // below it (rows come in tree order).
      let lane = null;
      for (const row of rows) {
        const parent = this.tree.nodes[row.node.parent];
        if (parent && parent.type === "testscript") {
          lane = { head: row, items: [row] };
          this.lanes.push(lane);
        } else if (lane && row.node.depth > lane.head.node.depth) {
          lane.items.push(row);
        } else {
          lane = null;
        }
      }
    });
    for (const lane of this.lanes) lane.items.sort((a, b) => a.node.depth - b.node.depth);
    if (!(high > low)) high = low + 1;
    this.extent = [low, high];
    this.window = [low, high];
    this.spacer.style.height = `${this.lanes.length * LANE}px`;
    const failed = this.lanes.filter((lane) => FAILED.test(lane.head.node.result || "")).length;
    this.status.textContent = `${this.lanes.length} lanes, ${failed} failed · ${span(high - low)} · ` +
      "wheel over the bars or Ctrl+wheel: zoom · drag: pan · click: open";
  }

  // ------------------------------------------------------------ geometry
  x(seconds, width) {
    const [a, b] = this.window;
    return ((seconds - a) / (b - a)) * width;
  }

  timeAt(x, width) {
    const [a, b] = this.window;
    return a + (x / width) * (b - a);
  }

  zoom(factor, anchor = null) {
    const [a, b] = this.window;
    const centre = anchor ?? (a + b) / 2;
    const [low, high] = this.extent;
    const length = Math.min(Math.max((b - a) * factor, 1), (high - low) * 1.05);
    let start = centre - (centre - a) * (length / (b - a));
    start = Math.min(Math.max(start, low - length * 0.02), high - length * 0.98);
    this.window = [start, start + length];
    this.draw();
  }

  fit() {
    this.window = [...this.extent];
    this.draw();
  }

  // ------------------------------------------------------------- drawing
  prepare(canvas, height, width = canvas.clientWidth) {
    const ratio = window.devicePixelRatio || 1;
    canvas.style.width = `${width}px`;
    canvas.width = Math.max(1, Math.floor(width * ratio));
    canvas.height = Math.max(1, Math.floor(height * ratio));
    canvas.style.height = `${height}px`;
    const g = canvas.getContext("2d");
    g.setTransform(ratio, 0, 0, ratio, 0, 0);
    g.clearRect(0, 0, width, height);
    return [g, width];
  }

  draw() {
    if (!this.lanes || this.root.hidden) return;
    this.drawHistogram();
    this.drawLanes();
  }

  drawHistogram() {
    const [g, width] = this.prepare(this.histogram, HISTOGRAM + AXIS);
    const warnings = new Float64Array(Math.ceil(width) + 1), errors = new Float64Array(warnings.length);
    for (const histogram of this.histograms) {
      if (!histogram) continue;
      histogram.times.forEach((time, i) => {
        const x = Math.floor(this.x(time + histogram.width / 2, width));
        if (x < 0 || x >= warnings.length) return;
        warnings[x] += histogram.warnings[i];
        errors[x] += histogram.errors[i];
      });
    }
    let most = 1;
    for (let x = 0; x < warnings.length; x++) most = Math.max(most, warnings[x] + errors[x]);
    const scale = (HISTOGRAM - 6) / most;
    const [warn, error] = [cssColour("--abort"), cssColour("--fail")];
    for (let x = 0; x < warnings.length; x++) {
      if (!warnings[x] && !errors[x]) continue;
      const hw = warnings[x] * scale, he = errors[x] * scale;
      g.fillStyle = warn;
      g.fillRect(x, HISTOGRAM - hw, 1.5, hw);
      g.fillStyle = error;
      g.fillRect(x, HISTOGRAM - hw - he, 1.5, he);
    }
    g.fillStyle = cssColour("--muted");
    g.font = "11px system-ui, sans-serif";
    g.fillText(`${most} lines`, 4, 11);
    const [a, b] = this.window;
    const steps = [1, 5, 10, 30, 60, 300, 600, 1800, 3600, 7200, 21600, 43200, 86400, 172800, 604800];
    const step = steps.find((s) => (b - a) / s <= width / 110) || 604800;
    g.strokeStyle = "#d8dee4";
    for (let t = Math.ceil(a / step) * step; t <= b; t += step) {
      const x = this.x(t, width);
      g.beginPath();
      g.moveTo(x + 0.5, HISTOGRAM);
      g.lineTo(x + 0.5, HISTOGRAM + 4);
      g.stroke();
      g.fillText(label(t, step), x + 3, HISTOGRAM + 14);
    }
  }

  drawLanes() {
    const height = this.lanesBox.clientHeight;
    const [g, width] = this.prepare(this.canvas, height, this.lanesBox.clientWidth);
    const top = this.lanesBox.scrollTop;
    const first = Math.floor(top / LANE), last = Math.min(this.lanes.length, Math.ceil((top + height) / LANE));
    const hatch = hatchPattern(g);
    g.font = "11px system-ui, sans-serif";
    for (let i = first; i < last; i++) {
      const lane = this.lanes[i];
      const y = i * LANE - top;
      if (i % 2) {
        g.fillStyle = "#f6f7f9";
        g.fillRect(0, y, width, LANE);
      }
      for (const item of lane.items) {
        if (item.start === null || item.stop === null) continue;
        const x0 = this.x(item.start, width), x1 = this.x(item.stop, width);
        if (x1 < 0 || x0 > width) continue;
        const inset = Math.min(2 + 4 * (item.node.depth - lane.head.node.depth), 8);
        g.fillStyle = colourOf(item.node.result);
        g.globalAlpha = item === lane.head ? 0.35 : 0.9;
        g.fillRect(x0, y + inset, Math.max(x1 - x0, 2), LANE - 2 * inset);
        g.globalAlpha = 1;
        if (FAILED.test(item.node.result || "")) {
          g.fillStyle = hatch;
          g.fillRect(x0, y + inset, Math.max(x1 - x0, 2), LANE - 2 * inset);
        }
      }
      if (i === this.cursor) {
        g.strokeStyle = cssColour("--accent");
        g.lineWidth = 2;
        g.strokeRect(1, y + 1, width - 2, LANE - 2);
      }
      // The lane's name after its bar, where there is room.
      const head = lane.head;
      if (head.stop !== null) {
        const x = Math.max(this.x(head.stop, width), 0) + 5;
        if (x < width - 40) {
          g.fillStyle = cssColour("--muted");
          g.fillText(head.node.name, x, y + LANE / 2 + 4);
        }
      }
    }
  }

  // ------------------------------------------------------------ keyboard
  onKey(event) {
    if (!this.lanes?.length || event.altKey || event.ctrlKey || event.metaKey) return;
    const page = Math.max(1, Math.floor(this.lanesBox.clientHeight / LANE) - 1);
    const lanes = { ArrowDown: this.cursor + 1, ArrowUp: this.cursor - 1, PageDown: this.cursor + page,
      PageUp: this.cursor - page, Home: 0, End: this.lanes.length - 1 };
    const [a, b] = this.window;
    const pans = { ArrowLeft: -0.1, ArrowRight: 0.1 };
    if (event.key in lanes) this.choose(lanes[event.key]);
    else if (event.key in pans) {
      const shift = pans[event.key] * (b - a);
      this.window = [a + shift, b + shift];
      this.draw();
    } else if (event.key === "+" || event.key === "=") this.zoom(0.5);
    else if (event.key === "-") this.zoom(2);
    else if (event.key === "Enter" && this.cursor >= 0) this.open(this.lanes[this.cursor].head.node.key, null);
    else return;
    event.preventDefault();
  }

  // Chooses lane `index`: scrolled into view, outlined, read out.
  choose(index) {
    this.cursor = Math.max(0, Math.min(this.lanes.length - 1, index));
    const top = this.cursor * LANE;
    const box = this.lanesBox;
    if (top < box.scrollTop) box.scrollTop = top;
    else if (top + LANE > box.scrollTop + box.clientHeight) box.scrollTop = top + LANE - box.clientHeight;
    const { node, start, stop } = this.lanes[this.cursor].head;
    this.laneText.textContent = `${node.name}, ${node.result || "no result"}` +
      (start !== null && stop !== null ? `, ${clock(start)} to ${clock(stop)}` : "");
    this.draw();
  }

  // --------------------------------------------------------- interaction
  // The deepest section under (x, y) of the lanes canvas, or null.
  sectionAt(x, y) {
    const lane = this.lanes[Math.floor((y + this.lanesBox.scrollTop) / LANE)];
    if (!lane) return null;
    const time = this.timeAt(x, this.canvas.clientWidth);
    const pixel = (this.window[1] - this.window[0]) / this.canvas.clientWidth;
    for (let i = lane.items.length - 1; i >= 0; i--) {
      const item = lane.items[i];
      if (item.start !== null && item.start - pixel <= time && time <= Math.max(item.stop, item.start + 2 * pixel)) {
        return { item, time };
      }
    }
    return null;
  }

  // The histogram bin under x: {task, offset, time, warnings, errors}.
  binAt(x) {
    const time = this.timeAt(x, this.histogram.clientWidth);
    const pixel = (this.window[1] - this.window[0]) / this.histogram.clientWidth;
    let best = null;
    this.histograms.forEach((histogram, task) => {
      if (!histogram) return;
      histogram.times.forEach((start, i) => {
        const distance = Math.abs(start + histogram.width / 2 - time);
        if (distance <= Math.max(pixel * 2, histogram.width) && (!best || distance < best.distance)) {
          best = { task, distance, time: start, width: histogram.width, offset: histogram.offsets[i],
            warnings: histogram.warnings[i], errors: histogram.errors[i] };
        }
      });
    });
    return best;
  }

  // The deepest section of `task` whose byte range holds `offset`.
  sectionHolding(task, offset) {
    let best = null;
    for (const row of this.rows[task]) {
      const end = row.logSize > 0 ? row.logStart + row.logSize : Infinity;
      if (row.logStart <= offset && offset < end && (!best || row.node.depth >= best.node.depth)) best = row;
    }
    return best;
  }

  // Where in `row`'s log the time `time` is: the first warning or error of
  // its task from then on inside its range.
  offsetAt(row, time) {
    const histogram = this.histograms[row.task];
    if (!histogram) return null;
    const end = row.logSize > 0 ? row.logStart + row.logSize : Infinity;
    for (let i = 0; i < histogram.times.length; i++) {
      const offset = histogram.offsets[i];
      if (histogram.times[i] + histogram.width > time && offset >= row.logStart && offset < end) {
        return offset - row.logStart;
      }
    }
    return null;
  }

  // Wheel over the histogram, or with Ctrl over the lanes, zooms; sideways
  // it pans; plain wheel over the lanes scrolls them.
  onWheel(event) {
    const rect0 = event.currentTarget.getBoundingClientRect();
    if (Math.abs(event.deltaX) > Math.abs(event.deltaY)) {
      event.preventDefault();
      const [a, b] = this.window;
      const shift = (event.deltaX / rect0.width) * (b - a);
      this.window = [a + shift, b + shift];
      return this.draw();
    }
    if (event.currentTarget === this.lanesBox && !event.ctrlKey) return;
    event.preventDefault();
    const rect = event.currentTarget.getBoundingClientRect();
    this.zoom(event.deltaY > 0 ? 1.25 : 0.8, this.timeAt(event.clientX - rect.left, rect.width));
  }

  onDown(event) {
    this.drag = { x: event.clientX, window: [...this.window], moved: false };
    event.currentTarget.setPointerCapture(event.pointerId);
  }

  onMove(event) {
    const canvas = event.currentTarget;
    const rect = canvas.getBoundingClientRect();
    const x = event.clientX - rect.left, y = event.clientY - rect.top;
    if (this.drag) {
      const dx = event.clientX - this.drag.x;
      if (Math.abs(dx) > 3) this.drag.moved = true;
      if (this.drag.moved) {
        const [a, b] = this.drag.window;
        const shift = (dx / rect.width) * (b - a);
        this.window = [a - shift, b - shift];
        this.draw();
        return;
      }
    }
    const lines = [];
    if (canvas === this.lanesBox) {
      const found = this.sectionAt(x, y);
      if (found) {
        const { node } = found.item;
        lines.push(node.name, `${node.result || "no result"} · ran ${node.runTime || "?"}`,
          `${clock(found.item.start)} – ${clock(found.item.stop)}`);
      }
    } else {
      const bin = this.binAt(x);
      if (bin) lines.push(`${clock(bin.time)}${bin.width > 1 ? " +" + span(bin.width) : ""}`,
        `${bin.errors} errors, ${bin.warnings} warnings`);
    }
    this.tip.hidden = !lines.length;
    if (lines.length) {
      this.tip.replaceChildren(...lines.map((text, i) => el(i ? "div" : "strong", { textContent: text })));
      const box = this.root.getBoundingClientRect();
      this.tip.style.left = `${Math.min(event.clientX - box.left + 12, box.width - 260)}px`;
      this.tip.style.top = `${event.clientY - box.top + 14}px`;
    }
  }

  onUp(event) {
    const drag = this.drag;
    this.drag = null;
    if (!drag || drag.moved) return;
    const rect = event.currentTarget.getBoundingClientRect();
    const x = event.clientX - rect.left, y = event.clientY - rect.top;
    if (event.currentTarget === this.lanesBox) {
      const found = this.sectionAt(x, y);
      if (found) this.open(found.item.node.key, this.offsetAt(found.item, found.time));
    } else {
      const bin = this.binAt(x);
      const row = bin && this.sectionHolding(bin.task, bin.offset);
      if (row) this.open(row.node.key, bin.offset - row.logStart);
    }
  }
}
