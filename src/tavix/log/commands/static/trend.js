// A suite's pass rate over its last runs as a small SVG line, oldest run on
// the left, 100% at the top. A run without a rate (nothing counted) breaks
// the line. Screen readers get the chart as one image described in words.
const SVG = "http://www.w3.org/2000/svg";

// A pass rate (passed / total, from 0 to 1) as a percentage text.
export function percent(rate) {
  return rate === null || rate === undefined ? "–" : `${Math.round(rate * 1000) / 10}%`;
}

const rated = (point) => point.pass_rate !== null && point.pass_rate !== undefined;

function svg(tag, attributes) {
  const node = document.createElementNS(SVG, tag);
  for (const [name, value] of Object.entries(attributes)) node.setAttribute(name, String(value));
  return node;
}

function description(points) {
  const rates = points.filter(rated).map((point) => point.pass_rate);
  if (!rates.length) return `No pass rate in the last ${points.length} runs`;
  return `Pass rate of the last ${points.length} runs: ${percent(rates[0])} first, ${percent(rates[rates.length - 1])} ` +
    `latest, lowest ${percent(Math.min(...rates))}`;
}

// The chart of `points` ([{start_time, pass_rate}], oldest first).
export function trendChart(points, { width = 132, height = 34 } = {}) {
  const pad = 3;
  const chart = svg("svg", { class: "trend", width, height, viewBox: `0 0 ${width} ${height}`, role: "img",
    "aria-label": description(points) });
  const step = points.length > 1 ? (width - 2 * pad) / (points.length - 1) : 0;
  const x = (index) => (points.length > 1 ? pad + index * step : width / 2);
  const y = (rate) => pad + (1 - rate) * (height - 2 * pad);
  chart.append(svg("line", { class: "trend-top", x1: pad, x2: width - pad, y1: y(1), y2: y(1) }),
    svg("line", { class: "trend-bottom", x1: pad, x2: width - pad, y1: y(0), y2: y(0) }));
  let line = "", broken = true;
  points.forEach((point, index) => {
    if (!rated(point)) {
      broken = true;
      return;
    }
    line += `${broken ? "M" : "L"}${x(index).toFixed(1)} ${y(point.pass_rate).toFixed(1)}`;
    broken = false;
  });
  if (line) chart.append(svg("path", { class: "trend-line", d: line }));
  points.forEach((point, index) => {
    if (!rated(point)) return;
    const latest = index === points.length - 1;
    const dot = svg("circle", { class: `trend-dot${point.pass_rate < 1 ? " short" : ""}${latest ? " latest" : ""}`,
      cx: x(index).toFixed(1), cy: y(point.pass_rate).toFixed(1), r: latest ? 2.6 : 1.6 });
    const tip = svg("title", {});
    tip.textContent = `${point.start_time}: ${percent(point.pass_rate)}`;
    dot.append(tip);
    chart.append(dot);
  });
  return chart;
}
