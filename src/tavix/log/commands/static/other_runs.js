// "Search other runs" beside the marked line of a log: where else has this
// line appeared? The viewer asks how the line's message (its header left
// out) reads as a search: masked as failure signatures are masked, a
// regular expression matching the same line with other numbers, addresses
// and times. Under the team service the home page's search opens with it;
// under `tavix logs view` the `tavix logs search --runs all` command that
// searches every indexed run is shown, selected, to copy.
import { api, RUN } from "./api.js";
import { writeClipboard } from "./copylink.js";
import { el } from "./dom.js";

// The home page searching other runs for `query`, a regular expression.
export const homeSearch = (query) => `/?${new URLSearchParams({ q: query, regex: "1" })}`;

// The button searching other runs for the message `getMessage()` gives.
export function searchOtherRuns(getMessage) {
  const button = el("button", { type: "button", className: "small other-runs",
    textContent: "Search other runs", title: "Where else has this line appeared?" });
  const field = el("input", { className: "copy-field other-runs-command", readOnly: true, hidden: true });
  field.setAttribute("aria-label", "Command searching every indexed run");
  const status = el("span", { className: "copy-status" });
  status.setAttribute("role", "status");
  field.addEventListener("keydown", (event) => {
    if (event.key !== "Escape") return;
    field.hidden = true;
    button.focus();
  });
  button.addEventListener("click", async () => {
    status.textContent = "";
    let asked;
    try {
      asked = await api.lineQuery(getMessage());
    } catch (error) {
      status.textContent = error.message === "INVALID_QUERY" ? "Nothing to search for in this line" : `No search: ${error.message}`;
      return;
    }
    if (RUN) {
      location.assign(homeSearch(asked.query));
      return;
    }
    field.value = asked.command;
    field.hidden = false;
    field.focus();
    field.select();
    status.textContent = await writeClipboard(asked.command) ? "Command copied" : "Press Ctrl+C to copy";
  });
  return el("span", { className: "copy-holder" }, button, field, status);
}
