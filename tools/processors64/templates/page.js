// The window's page: sorting and filtering the table of nodes, each node's
// workers and record on demand, copying the drain list. Every value from
// the results files reaches the page as text (textContent), never markup.
"use strict";
(function () {
  const table = document.getElementById("table");
  const body = table.tBodies[0];
  const rows = Array.from(body.rows);  // in verdict order, as the page holds them
  rows.forEach((row, n) => { row.n = n; });
  const headers = Array.from(table.tHead.querySelectorAll("th[data-sort]"));
  const collator = new Intl.Collator(undefined, {numeric: true, sensitivity: "base"});
  const keys = {};
  let sorted = {column: -1, up: true};
  let data = null;

  // Each column's values are read from its cells once, when first sorted by.
  function values(column, kind) {
    if (!keys[column]) {
      keys[column] = rows.map(row => {
        const text = row.cells[column].textContent;
        return kind === "num" ? parseFloat(text) : text;
      });
    }
    return keys[column];
  }

  // Numbers ascending (the slowest first), names in natural order; what has
  // no value last either way; ties keep the verdict order.
  function sortBy(header) {
    const column = Number(header.dataset.col);
    const kind = header.dataset.sort;
    const up = sorted.column === column ? !sorted.up : true;
    const sign = up ? 1 : -1;
    sorted = {column, up};
    let order;
    if (kind === "verdict") {
      order = rows.slice().sort((a, b) => sign * (a.n - b.n));
    } else {
      const key = values(column, kind);
      order = rows.slice().sort((a, b) => {
        const x = key[a.n], y = key[b.n];
        let by;
        if (kind === "num") {
          by = Number.isNaN(x) ? (Number.isNaN(y) ? 0 : 1) : Number.isNaN(y) ? -1 : sign * (x - y);
        } else {
          by = !x ? (!y ? 0 : 1) : !y ? -1 : sign * collator.compare(x, y);
        }
        return by || a.n - b.n;
      });
    }
    const moved = document.createDocumentFragment();
    for (const row of order) {
      moved.appendChild(row);
      if (row.detail) moved.appendChild(row.detail);
    }
    body.appendChild(moved);
    headers.forEach(other => other.removeAttribute("aria-sort"));
    header.setAttribute("aria-sort", up ? "ascending" : "descending");
  }

  const flagged = document.getElementById("flagged");
  const klass = document.getElementById("class");
  const host = document.getElementById("host");
  const shown = document.getElementById("shown");
  const hosts = rows.map(row => row.cells[0].textContent.toLowerCase());
  const classes = rows.map(row => row.cells[1].textContent);

  function filter() {
    const only = flagged.checked, wanted = klass.value, part = host.value.trim().toLowerCase();
    let count = 0;
    for (const row of rows) {
      const show = (!only || row.classList.contains("f")) &&
        (!wanted || classes[row.n] === wanted) && (!part || hosts[row.n].includes(part));
      if (row.hidden === show) {
        row.hidden = !show;
        if (row.detail) row.detail.hidden = !show;
      }
      if (show) count += 1;
    }
    shown.textContent = `${count} of ${rows.length} nodes shown`;
  }

  function element(tag, text, parent) {
    const made = document.createElement(tag);
    if (text !== undefined && text !== null) made.textContent = String(text);
    if (parent) parent.appendChild(made);
    return made;
  }

  function rate(value) {
    return value === null ? "?" : String(value);
  }

  // A row under the node's: its workers' spread in each test, the slow
  // ones by rank, and its node record.
  function details(row) {
    if (row.detail) {
      row.detail.remove();
      row.detail = null;
      return;
    }
    data = data || JSON.parse(document.getElementById("data").textContent);
    const [record, run, spread] = data.nodes[row.n];
    const name = row.cells[0].textContent;
    const line = document.createElement("tr");
    line.className = "detail";
    const cell = line.insertCell();
    cell.colSpan = row.cells.length;
    if (spread.some(test => test !== null)) {
      const workers = element("table", null, cell);
      element("caption", `The workers of ${name}`, workers);
      const head = workers.createTHead().insertRow();
      const words = ["test", "workers", "lowest", "median", "highest", "slow workers (rank: rate)"];
      for (const word of words) element("th", word, head);
      const rowsOf = workers.createTBody();
      spread.forEach((test, n) => {
        if (test === null) return;
        const [count, low, middle, high, slow] = test;
        const out = rowsOf.insertRow();
        element("th", data.tests[n], out);
        for (const value of [count, rate(low), rate(middle), rate(high)]) element("td", value, out);
        const ranks = slow.map(([rank, value]) => `${rank}: ${rate(value)}`);
        element("td", ranks.length ? ranks.join(", ") : "none", out);
      });
    } else {
      element("p", `${name} was not measured in this window.`, cell);
    }
    if (run !== null) {
      const [master, file, started] = data.runs[run];
      element("p", `measured by the job of master ${master}, started ${started}: ${file}`, cell);
    }
    if (record === null) {
      element("p", "No node record of this host.", cell);
    } else {
      element("p", `The node record of ${name}:`, cell);
      const list = element("dl", null, cell);
      for (const [key, value] of Object.entries(data.records[record])) {
        element("dt", key, list);
        element("dd", typeof value === "string" ? value : JSON.stringify(value), list);
      }
    }
    line.hidden = row.hidden;
    row.after(line);
    row.detail = line;
  }

  headers.forEach(header => {
    header.tabIndex = 0;
    header.addEventListener("click", () => sortBy(header));
    header.addEventListener("keydown", event => {
      if (event.key === "Enter" || event.key === " ") {
        event.preventDefault();
        sortBy(header);
      }
    });
  });
  body.addEventListener("click", event => {
    const cell = event.target.closest("th");
    if (cell && cell.parentElement.parentElement === body && cell.cellIndex === 0) {
      details(cell.parentElement);
    }
  });
  for (const control of [flagged, klass]) control.addEventListener("change", filter);
  host.addEventListener("input", filter);

  const copy = document.getElementById("copy");
  const drain = document.getElementById("drain");
  copy.addEventListener("click", () => {
    const range = document.createRange();
    range.selectNodeContents(drain);
    const selection = window.getSelection();
    selection.removeAllRanges();
    selection.addRange(range);
    const said = text => { copy.textContent = text; };
    if (navigator.clipboard && window.isSecureContext) {
      navigator.clipboard.writeText(drain.textContent).then(() => said("Copied"),
        () => said("Selected: copy it"));
    } else {
      said(document.execCommand("copy") ? "Copied" : "Selected: copy it");
    }
  });

  copy.hidden = false;
  document.getElementById("filters").hidden = false;
  document.documentElement.classList.add("js");
  filter();
})();
