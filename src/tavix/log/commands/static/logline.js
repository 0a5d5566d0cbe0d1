// One log line drawn for reading: the MorlanLog header ("seq: host: stamp:
// %APP-SEV-NAME: %[tags]: ") dimmed, so the message is what the eye finds,
// and, while headers are collapsed, shortened to the time and severity. A
// click on a collapsed header shows that line's in full; copying always
// copies the original text of the lines selected. Where a header's parts lie
// is told by the server: [severity, stamp start, stamp end, message start].
const SEVERITY = ["emerg", "alert", "crit", "error", "warn", "notice", "info", "debug"];
const COLLAPSED = "headers-collapsed";

// "hh:mm:ss" of a "yyyy-mm-ddThh:mm:ss..." stamp, else the whole stamp.
function shortTime(stamp) {
  const digits = (from, to) => [...stamp.slice(from, to)].every((c) => c >= "0" && c <= "9");
  const dated = stamp.length >= 19 && stamp[10] === "T" && stamp[13] === ":" && stamp[16] === ":"
    && digits(0, 4) && digits(11, 13) && digits(14, 16) && digits(17, 19);
  return dated ? stamp.slice(11, 19) : stamp;
}

// [{text, cls}] pieces of `line`: the header's parts, then the message.
function pieces(line, header) {
  if (!header || header.length < 4) return [{ text: line, cls: "" }];
  const [severity, stampFrom, stampTo, messageFrom] = header;
  const stamp = line.slice(stampFrom, stampTo);
  return [
    { text: line.slice(0, stampFrom), cls: "hd" },
    { text: stamp, cls: "hd hd-time", short: `${shortTime(stamp)} ${SEVERITY[severity] || severity} ` },
    { text: line.slice(stampTo, messageFrom), cls: "hd" },
    { text: line.slice(messageFrom), cls: "" },
  ];
}

// Length of a line's MorlanLog header from its span, 0 when it has none.
export function headerLength(header) {
  return header && header.length >= 4 ? header[3] : 0;
}

// Fills `span` with `line`, marking characters [mark[0], mark[1]) when given;
// `header` is the line's header span, if it is a record line.
export function fillLine(span, line, mark = null, header = null) {
  span.dataset.text = line;
  const parts = [];
  let at = 0;
  for (const piece of pieces(line, header)) {
    const end = at + piece.text.length;
    const cuts = mark ? [at, Math.max(at, Math.min(end, mark[0])), Math.max(at, Math.min(end, mark[1])), end] : [at, end, end, end];
    for (let k = 0; k < 3; k += 1) {
      if (cuts[k + 1] <= cuts[k]) continue;
      const text = line.slice(cuts[k], cuts[k + 1]);
      const node = k === 1 ? Object.assign(document.createElement("mark"), { className: "chg", textContent: text }) : text;
      if (!piece.cls) {
        parts.push(node);
      } else {
        const holder = Object.assign(document.createElement("span"), { className: piece.cls });
        holder.append(node);
        if (piece.short && k === 0) holder.dataset.short = piece.short;
        parts.push(holder);
      }
    }
    at = end;
  }
  span.replaceChildren(...(parts.length ? parts : [" "]));
}

export function headersCollapsed() { return document.body.classList.contains(COLLAPSED); }

export function setHeadersCollapsed(collapsed) {
  document.body.classList.toggle(COLLAPSED, collapsed);
  for (const button of document.querySelectorAll(".header-toggle")) {
    button.setAttribute("aria-pressed", String(collapsed));
  }
}

// A toolbar button that collapses and expands the headers of every pane.
export function headerToggle() {
  const button = Object.assign(document.createElement("button"), {
    className: "small header-toggle", textContent: "Short headers",
    title: "Show only the time and severity of each header (h)" });
  button.setAttribute("aria-pressed", String(headersCollapsed()));
  button.addEventListener("click", () => setHeadersCollapsed(!headersCollapsed()));
  return button;
}

// The lines a selection touches, as their original texts (line numbers and
// signs of a diff are left out; short headers are copied in full).
function selectedLines(selection) {
  const lines = [];
  for (const span of document.querySelectorAll("[data-text]")) {
    if (selection.containsNode(span, true)) lines.push(span.dataset.text);
  }
  return lines;
}

// Copying lines whole, opening a collapsed header on a click, and "h" for
// short headers, for every pane of `target` (the document): the viewer
// attaches them once it starts.
export function attachLineHandlers(target) {
  target.addEventListener("copy", (event) => {
    const selection = document.getSelection();
    if (!selection || selection.isCollapsed) return;
    const lines = selectedLines(selection);
    // Part of one line shown in full copies as the browser copies it.
    const short = headersCollapsed() || selection.anchorNode?.parentElement?.closest(".split");
    if (!lines.length || (lines.length === 1 && !short)) return;
    event.clipboardData.setData("text/plain", lines.join("\n"));
    event.preventDefault();
  });

  // A click on a collapsed header opens that line's header in full.
  target.addEventListener("click", (event) => {
    const header = event.target.closest?.(".hd");
    if (header && (headersCollapsed() || header.closest(".split"))) header.parentElement.classList.toggle("hd-open");
  });

  target.addEventListener("keydown", (event) => {
    if (event.key !== "h" || event.ctrlKey || event.metaKey || event.altKey) return;
    if (["INPUT", "TEXTAREA", "SELECT"].includes(document.activeElement?.tagName)) return;
    setHeadersCollapsed(!headersCollapsed());
  });
}
