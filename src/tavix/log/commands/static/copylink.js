// "Copy link" buttons. The link is asked for when the button is pressed and
// goes to the clipboard; a page that may not write the clipboard (one not
// served over a secure address) shows the link in a field, selected, for
// the user to copy.
import { el } from "./dom.js";

// Whether `text` went to the clipboard.
export async function writeClipboard(text) {
  if (!window.isSecureContext || !navigator.clipboard) return false;
  try {
    await navigator.clipboard.writeText(text);
    return true;
  } catch {
    return false;  // refused by the browser: the field shows the link instead
  }
}

// A button labelled `label` copying the link `getLink()` resolves to, with
// its fallback field and the status of the last copy.
export function copyLink(getLink, label = "Copy link") {
  const button = el("button", { type: "button", className: "small copy-link", textContent: label });
  const field = el("input", { className: "copy-field", readOnly: true, hidden: true });
  field.setAttribute("aria-label", "Link");
  const status = el("span", { className: "copy-status" });
  status.setAttribute("role", "status");
  const holder = el("span", { className: "copy-holder" }, button, field, status);
  const hideField = () => { field.hidden = true; };
  field.addEventListener("blur", hideField);
  field.addEventListener("keydown", (event) => {
    if (event.key !== "Escape") return;
    hideField();
    button.focus();
  });
  button.addEventListener("click", async () => {
    status.textContent = "";
    let link;
    try {
      link = await getLink();
    } catch (error) {
      status.textContent = `No link: ${error.message}`;
      return;
    }
    if (await writeClipboard(link)) {
      status.textContent = "Link copied";
      return;
    }
    field.value = link;
    field.hidden = false;
    field.focus();
    field.select();
    status.textContent = "Press Ctrl+C to copy";
  });
  return holder;
}
