// The tree page of qor: lays the tree out one band per depth, routes rows as the
// package does, and answers the form. The model is the JSON in #qor-data (see page.py).
"use strict";
(() => {
  const D = JSON.parse(document.getElementById("qor-data").textContent);
  const N = D.left.length;
  const H = D.hist ? D.hist.nodes : null;
  const R = D.rows;
  // Pixels of the chart at zoom 1: a node's width, the gap between columns, a band's
  // height (a node's box and the room above it for the edges and the band's label).
  const W = 176, GAP = 12, BOX = H ? 166 : 116, BAND = BOX + 50, TOP = 26;
  // The band labels' room at the left of the view, which fitting keeps clear of nodes.
  const GUTTER = 150;
  // A tree with more leaves opens collapsed, as deep as shows at most this many.
  const OPEN_LEAVES = 16;
  const $ = (id) => document.getElementById(id);
  const esc = (s) => String(s).replace(/[&<>"']/g, (c) => "&#" + c.charCodeAt(0) + ";");
  const isLeaf = (j) => D.left[j] < 0;
  const parent = new Int32Array(N).fill(-1);
  for (let j = 0; j < N; j++) if (!isLeaf(j)) parent[D.left[j]] = parent[D.right[j]] = j;
  const sets = D.sets.map((s) => s && new Set(s));
  const used = D.used, names = D.names, cats = D.categories;

  // ---- routing: exactly the package's rule -------------------------------------------
  // A value is a number (a category's code on a categorical feature), null for a
  // missing one, or a string: a category unseen in fit. Only numbers can go left.
  function goesLeft(j, v) {
    if (typeof v !== "number" || Number.isNaN(v)) return false;
    return sets[j] ? sets[j].has(v) : v <= D.threshold[j];
  }
  // The nodes a row passes, root to leaf; `row` maps a feature index to its value.
  function route(row) {
    const path = [0];
    for (let j = 0; !isLeaf(j); path.push(j)) {
      j = goesLeft(j, row[D.feature[j]]) ? D.left[j] : D.right[j];
    }
    return path;
  }

  // ---- texts ------------------------------------------------------------------------
  const pct = (permille) => (permille / 10).toFixed(permille % 10 ? 1 : 0) + "%";
  function sharesText(j) {
    return D.classes.map((c, k) => c + " " + pct(D.shares[j][k])).join(", ");
  }
  const share = (j) => pct(D.shares[j][D.predicted[j]]);  // of the predicted class
  function valueText(j) {
    return D.classes ? `class ${D.value[j]} (${share(j)})` : "value " + D.value[j];
  }
  function valueShown(v, f) {
    if (v === null || v === undefined || Number.isNaN(v)) return "missing";
    if (typeof v === "string") return v + " (unseen in fit)";
    return cats[f] ? cats[f][v] : String(+v.toPrecision(D.precision));
  }
  function nodeLabel(j) {
    const parts = ["Node " + j, "depth " + D.depth[j]];
    if (parent[j] >= 0) parts.push(D.left[parent[j]] === j ? "yes branch" : "no branch");
    parts.push(isLeaf(j) ? "leaf" : "rule " + (D.whole[j] || D.yes[j]));
    parts.push(D.samples[j] + " samples", "weighted " + D.weighted[j],
               D.criterion + " " + D.impurity[j], valueText(j));
    if (D.classes) parts.push("class shares " + sharesText(j));
    return parts.join(", ");
  }

  // ---- drawing ----------------------------------------------------------------------
  function histogram(j) {
    const h = H && H[j];
    if (!h) return "";
    const f = D.levels[D.depth[j]], w = W - 14, ht = 34, gap = h.missing ? 16 : 0;
    const bins = h.counts.length, bw = (w - gap) / bins;
    const top = Math.max(1, h.missing, ...h.counts);
    const y = (c) => ht - (c ? Math.max(1.5, (c / top) * ht) : 0);
    const given = h.counts.reduce((a, b) => a + b, 0) + h.missing;
    let bars = "", label;
    if (cats[f]) {
      const left = sets[j] || new Set();
      for (let k = 0; k < bins; k++) {
        const c = h.counts[k], kind = sets[j] ? (left.has(k) ? "l" : "r") : "b";
        bars += `<rect class="${kind}" x="${k * bw + 0.5}" y="${y(c)}" width="${Math.max(bw - 1, 0.5)}" ` +
          `height="${ht - y(c)}"><title>${esc(cats[f][k])}: ${c}</title></rect>`;
      }
      label = `Bars of ${names[f]} over the ${given} given rows that reach node ${j}` +
        (sets[j] ? ", the categories that go left dark" : "");
    } else {
      let d = "";
      h.counts.forEach((c, k) => {
        if (c) d += `M${k * bw + 0.5} ${ht}V${y(c)}h${Math.max(bw - 0.8, 0.4)}V${ht}Z`;
      });
      const [low, high] = D.hist.ranges[D.depth[j]], cut = h.cut * (w - gap);
      bars = `<path class="b" d="${d}"/><text x="0" y="${ht + 10}">${esc(low)}</text>` +
        `<text x="${w - gap}" y="${ht + 10}" text-anchor="end">${esc(high)}</text>`;
      if (h.cut !== null) bars += `<line class="t" x1="${cut}" x2="${cut}" y1="0" y2="${ht}"/>`;
      label = `Histogram of ${names[f]} over the ${given} given rows that reach node ${j}` +
        (h.cut !== null ? `, the threshold marked in red at ${D.threshold[j]}` : "");
    }
    if (h.missing) {
      bars += `<rect class="m" x="${w - gap + 3}" y="${y(h.missing)}" width="${gap - 4}" ` +
        `height="${ht - y(h.missing)}"><title>missing or unseen: ${h.missing}</title></rect>`;
      label += `; ${h.missing} missing or unseen`;
    }
    return `<svg class="hist" width="${w}" height="${ht + 12}" role="img" aria-label="${esc(label)}">` +
      `<title>${esc(label)}</title>${bars}</svg>`;
  }

  // A node's box is drawn the first time it is shown: a deep tree opens collapsed, and
  // its hidden boxes cost nothing until expanded.
  function fill(j) {
    const leaf = isLeaf(j), p = parent[j], e = el[j];
    const side = p < 0 ? "root" : D.left[p] === j ? "yes" : "no";
    e.setAttribute("aria-label", nodeLabel(j));
    e.style.cssText = `width:${W}px;height:${BOX}px;background:${D.fill[j]};color:${ink(D.fill[j])}`;
    let s = `<div class="top"><span class="id">#${j}</span><span class="side">${side}</span>` +
      `<span class="mark"></span>` + (leaf ? "" : `<button type="button" class="tog" tabindex="-1" ` +
      `aria-label="Collapse node ${j}">&minus;</button>`) + "</div>";
    if (leaf) s += `<div class="rule">leaf</div>`;
    else {
      const exact = D.threshold[j] === null ? "" : ` (threshold ${D.threshold[j]} exactly)`;
      s += `<div class="rule" title="${esc((D.whole[j] || D.yes[j]) + exact)}">` +
        `<span>${esc(names[D.feature[j]])}</span><b>&nbsp;${esc(D.cut[j])}</b></div>`;
    }
    s += `<div class="stats">samples ${D.samples[j]} &middot; weighted ${esc(D.weighted[j])}<br>` +
      `${esc(D.criterion)} ${esc(D.impurity[j])}</div>`;
    if (D.classes) {
      const bar = D.shares[j].map((v, k) => (v ? `<i style="width:${v / 10}%;background:${D.palette[k]}"></i>` :
        ""));
      const text = esc(sharesText(j));
      s += `<div class="bar" role="img" aria-label="${text}" title="${text}">${bar.join("")}</div>`;
    }
    s += `<div class="value">${esc(valueText(j))}</div>`;
    e.innerHTML = s + histogram(j) + `<div class="more"></div>`;
    drawn[j] = 1;
  }

  // Black or white text, whichever contrasts more with the fill (WCAG's luminance).
  function ink(hex) {
    const c = [1, 3, 5].map((i) => parseInt(hex.slice(i, i + 2), 16) / 255)
      .map((v) => (v <= 0.03928 ? v / 12.92 : ((v + 0.055) / 1.055) ** 2.4));
    return 0.2126 * c[0] + 0.7152 * c[1] + 0.0722 * c[2] > 0.179 ? "#000" : "#fff";
  }

  const view = $("view"), canvas = $("canvas"), nodesBox = $("nodes"), edges = $("edges");
  nodesBox.innerHTML = Array.from({ length: N }, (_, j) => `<div class="node${isLeaf(j) ? " leaf" : ""} ` +
    `gone" id="n${j}" data-node="${j}" role="treeitem" tabindex="-1" aria-level="${D.depth[j] + 1}"></div>`)
    .join("");
  const el = Array.from({ length: N }, (_, j) => $("n" + j)), drawn = new Uint8Array(N);

  // ---- layout: every shown leaf or collapsed node takes a column, left to right ------
  const collapsed = new Uint8Array(N), shown = new Uint8Array(N), x = new Float64Array(N);
  let columns = 0, bandsShown = 0, byDepth = [];
  function below(j) {  // nodes under j
    let count = 0;
    for (const stack = [j]; stack.length;) {
      const k = stack.pop();
      if (!isLeaf(k)) { stack.push(D.left[k], D.right[k]); count += 2; }
    }
    return count;
  }
  // Where node j's box sits, and which state its box shows (2: never shown yet).
  const left = new Float64Array(N).fill(-1), state = new Uint8Array(N).fill(2);
  function layout() {
    shown.fill(0);
    columns = 0; bandsShown = 0;
    for (const stack = [[0, false]]; stack.length;) {
      const [j, done] = stack.pop();
      shown[j] = 1;
      if (isLeaf(j) || collapsed[j]) x[j] = columns++;
      else if (done) x[j] = (x[D.left[j]] + x[D.right[j]]) / 2;
      else stack.push([j, true], [D.right[j], false], [D.left[j], false]);
    }
    byDepth = [];
    for (let j = 0; j < N; j++) {
      const e = el[j];
      e.classList.toggle("gone", !shown[j]);
      if (!shown[j]) continue;
      if (!drawn[j]) { fill(j); mark(j); }
      const d = D.depth[j];
      bandsShown = Math.max(bandsShown, d + 1);
      (byDepth[d] = byDepth[d] || []).push(j);
      const l = x[j] * (W + GAP) + GAP;
      if (left[j] !== l) {
        e.style.left = l + "px";
        e.style.top = d * BAND + TOP + "px";
        left[j] = l;
      }
      if (!isLeaf(j) && state[j] !== collapsed[j]) {
        state[j] = collapsed[j];
        e.setAttribute("aria-expanded", collapsed[j] ? "false" : "true");
        const t = e.querySelector(".tog");
        t.innerHTML = collapsed[j] ? "+" : "&minus;";
        t.setAttribute("aria-label", (collapsed[j] ? "Expand" : "Collapse") + " node " + j);
        e.querySelector(".more").textContent = collapsed[j] ? `+${below(j)} nodes below, collapsed` : "";
      }
    }
    for (const row of byDepth) row.sort((a, b) => x[a] - x[b]);
    const width = columns * (W + GAP) + GAP, height = bandsShown * BAND + TOP;
    canvas.style.width = width + "px";
    canvas.style.height = height + "px";
    edges.setAttribute("width", width);
    edges.setAttribute("height", height);
    drawEdges();
    canvas.querySelectorAll(".band").forEach((b) => b.remove());
    for (let d = 0; d < bandsShown; d++) {
      const b = document.createElement("div");
      b.className = "band" + (d % 2 ? " odd" : "");
      b.style.cssText = `top:${d * BAND + TOP - 25}px;height:${BAND}px`;
      canvas.insertBefore(b, edges);
    }
    place();
  }

  function drawEdges() {  // the traced path's edges apart, drawn bold
    let straight = "", onPath = "";
    for (let j = 1; j < N; j++) {
      if (!shown[j]) continue;
      const p = parent[j];
      const x0 = x[p] * (W + GAP) + GAP + W / 2, y0 = D.depth[p] * BAND + TOP + BOX;
      const x1 = x[j] * (W + GAP) + GAP + W / 2, y1 = D.depth[j] * BAND + TOP, m = (y0 + y1) / 2;
      const seg = `M${x0} ${y0}C${x0} ${m} ${x1} ${m} ${x1} ${y1}`;
      if (trace.has(j)) onPath += seg; else straight += seg;
    }
    edges.innerHTML = `<path d="${straight}"/><path class="on" d="${onPath}"/>`;
  }
  function mark(j) {  // shows whether node j is on the traced path, or its leaf
    const e = el[j], on = trace.has(j), hit = on && isLeaf(j);
    e.classList.toggle("on", on);
    e.classList.toggle("hit", hit);
    e.querySelector(".mark").textContent = hit ? "\u25b6 reached" : on ? "path" : "";
    if (on) e.setAttribute("aria-current", hit ? "true" : "step");
    else e.removeAttribute("aria-current");
  }

  // ---- zoom and pan -----------------------------------------------------------------
  let scale = 1, tx = 0, ty = 0;
  function place() {
    canvas.style.transform = `translate(${tx}px,${ty}px) scale(${scale})`;
    const bands = $("bands");
    let s = "";
    for (let d = 0; d < bandsShown; d++) {
      const f = D.levels[d];
      s += `<div style="top:${ty + (d * BAND + TOP + BOX / 2) * scale}px">depth ${d}<br>` +
        `<span>${f === null ? "leaves" : esc(names[f])}</span></div>`;
    }
    bands.innerHTML = s;
  }
  function zoom(factor, cx = view.clientWidth / 2, cy = view.clientHeight / 2) {
    const next = Math.min(2.5, Math.max(0.08, scale * factor));
    tx = cx - ((cx - tx) * next) / scale;
    ty = cy - ((cy - ty) * next) / scale;
    scale = next;
    place();
  }
  // The whole width where that keeps a scale of at least 0.5; else that scale, centred
  // on the root. The view pans down to deeper bands.
  function fit() {
    const width = columns * (W + GAP) + GAP, room = view.clientWidth - GUTTER;
    scale = Math.max(0.5, Math.min(1, room / width));
    tx = GUTTER + Math.max(0, (room - width * scale) / 2);
    if (width * scale > room) tx = GUTTER + room / 2 - (x[0] * (W + GAP) + GAP + W / 2) * scale;
    ty = 0;
    place();
  }
  function reveal(j) {  // pans the least that shows node j whole
    const l = tx + (x[j] * (W + GAP) + GAP) * scale, t = ty + (D.depth[j] * BAND + TOP) * scale;
    const r = l + W * scale, b = t + BOX * scale, vw = view.clientWidth, vh = view.clientHeight;
    if (l < GUTTER) tx += GUTTER - l; else if (r > vw - 8) tx -= r - vw + 8;
    if (t < 8) ty += 8 - t; else if (b > vh - 8) ty -= b - vh + 8;
    place();
  }
  // The wheel pans; with Ctrl (as a touchpad's pinch sends it) it zooms at the pointer.
  view.addEventListener("wheel", (e) => {
    e.preventDefault();
    if (e.ctrlKey) {
      const box = view.getBoundingClientRect();
      zoom(Math.exp(-e.deltaY * 0.004), e.clientX - box.left, e.clientY - box.top);
      return;
    }
    tx -= e.shiftKey ? e.deltaY : e.deltaX;
    ty -= e.shiftKey ? 0 : e.deltaY;
    place();
  }, { passive: false });
  // A press becomes a pan once it moves; until then it stays a click on what it hit.
  let drag = null, panned = false;
  view.addEventListener("pointerdown", (e) => {
    if (e.button !== 0 || e.target.closest("button")) return;
    drag = { x: e.clientX, y: e.clientY, tx, ty, id: e.pointerId };
    panned = false;
  });
  view.addEventListener("pointermove", (e) => {
    if (!drag) return;
    const dx = e.clientX - drag.x, dy = e.clientY - drag.y;
    if (!panned && Math.hypot(dx, dy) < 4) return;
    if (!panned) view.setPointerCapture(drag.id);
    panned = true;
    view.classList.add("panning");
    tx = drag.tx + dx; ty = drag.ty + dy;
    place();
  });
  const endDrag = () => { drag = null; view.classList.remove("panning"); };
  view.addEventListener("pointerup", endDrag);
  view.addEventListener("pointercancel", endDrag);
  $("zoom-in").onclick = () => zoom(1.25);
  $("zoom-out").onclick = () => zoom(0.8);
  $("zoom-fit").onclick = fit;

  // ---- collapse, expand and the keyboard --------------------------------------------
  function toggle(j) {
    if (isLeaf(j)) return;
    collapsed[j] ^= 1;
    layout();
    reveal(j);
  }
  $("expand-all").onclick = () => { collapsed.fill(0); layout(); fit(); };
  $("collapse-all").onclick = () => {
    for (let j = 0; j < N; j++) collapsed[j] = isLeaf(j) ? 0 : 1;
    layout(); fit(); focusNode(0);
  };
  let focused = 0;
  function focusNode(j) {
    el[focused].tabIndex = -1;
    focused = j;
    el[j].tabIndex = 0;
    el[j].focus({ preventScroll: true });
    reveal(j);
  }
  nodesBox.addEventListener("click", (e) => {
    const node = e.target.closest(".node");
    if (!node) return;
    const j = +node.dataset.node;
    if (panned) return;
    if (e.target.closest(".tog")) toggle(j);
    focusNode(j);
  });
  nodesBox.addEventListener("keydown", (e) => {
    const j = focused, row = byDepth[D.depth[j]] || [j], k = row.indexOf(j);
    let next = -1;
    switch (e.key) {
      case "ArrowUp": next = parent[j]; break;
      case "ArrowDown":
        if (!isLeaf(j) && collapsed[j]) toggle(j);
        next = isLeaf(j) ? -1 : D.left[j];
        break;
      case "ArrowLeft": next = k > 0 ? row[k - 1] : -1; break;
      case "ArrowRight": next = k < row.length - 1 ? row[k + 1] : -1; break;
      case "Home": next = 0; break;
      case "Enter": case " ": toggle(j); break;
      default: return;
    }
    e.preventDefault();
    if (next >= 0) focusNode(next);
  });

  // ---- tracing ----------------------------------------------------------------------
  let trace = new Set();
  function showTrace(path) {
    const before = trace;
    trace = new Set(path);
    let opened = false;
    for (const j of path.slice(0, -1)) if (collapsed[j]) { collapsed[j] = 0; opened = true; }
    for (const j of new Set([...before, ...trace])) if (drawn[j]) mark(j);
    if (opened) layout(); else drawEdges();
    if (path.length) { if (opened) fit(); reveal(path[path.length - 1]); }
  }
  function sentence(row, path) {
    const steps = [];
    for (let i = 0; i + 1 < path.length; i++) {
      const j = path[i], f = D.feature[j], v = row[f];
      if (v === null || Number.isNaN(v)) steps.push(`${names[f]} is missing, so no`);
      else if (typeof v === "string") steps.push(`${names[f]} "${v}" was not seen in fit, so no`);
      else steps.push(D.left[j] === path[i + 1] ? D.yes[j] : D.no[j]);
    }
    return steps.join(", then ");
  }
  function answer(row, path) {
    const leaf = path[path.length - 1];
    const rows = `the ${D.samples[leaf]} training rows in leaf #${leaf}`;
    const how = D.classes ? `${share(leaf)} of ${rows}`
      : D.several ? `each output's, from ${rows}` : `the mean of ${rows}`;
    const steps = sentence(row, path);
    $("answer").innerHTML = `<p><strong>Prediction: ${esc(D.value[leaf])}</strong> (${esc(how)})</p>` +
      `<p>${steps ? esc(steps[0].toUpperCase() + steps.slice(1)) + "." : "The tree is a single leaf."}</p>`;
    $("answer").dataset.leaf = leaf;
  }

  // ---- the form: one input per feature the tree uses --------------------------------
  const UNSEEN = "unseen";
  $("fields").innerHTML = used.map((f) => {
    const label = `<label for="in${f}">${esc(names[f])}</label>`;
    if (!cats[f]) {
      return label + `<input id="in${f}" type="text" inputmode="decimal" placeholder="missing">`;
    }
    return label + `<select id="in${f}"><option value="">missing</option>` +
      cats[f].map((c, k) => `<option value="${k}">${esc(c)}</option>`).join("") +
      `<option value="${UNSEEN}">another (unseen in fit)</option></select>`;
  }).join("");
  if (!used.length) {
    $("fields").innerHTML = `<p>The tree is a single leaf: it predicts ${D.classes ? "class " : ""}` +
      `${esc(D.value[0])} for every row.</p>`;
  }
  function formRow() {
    const row = {};
    const bad = [];
    for (const f of used) {
      const input = $("in" + f), text = input.value.trim();
      if (cats[f]) {
        row[f] = text === "" ? null : text === UNSEEN ? "(another)" : +text;
        continue;
      }
      const v = text === "" ? null : Number(text);
      const invalid = v !== null && !Number.isFinite(v);
      input.setAttribute("aria-invalid", invalid);
      if (invalid) bad.push(names[f]);
      row[f] = v;
    }
    return { row, bad };
  }
  function ask() {
    const { row, bad } = formRow();
    if (bad.length) {
      $("answer").textContent = `Not a number: ${bad.join(", ")}. Leave a field empty for a missing value.`;
      delete $("answer").dataset.leaf;
      return;
    }
    const path = route(row);
    showTrace(path);
    answer(row, path);
  }
  $("form").addEventListener("input", () => { select(-1); ask(); });
  $("form").addEventListener("submit", (e) => { e.preventDefault(); ask(); });
  $("form").addEventListener("reset", () => {
    select(-1);
    for (const f of used) if (!cats[f]) $("in" + f).setAttribute("aria-invalid", false);
    $("answer").textContent = "";
    delete $("answer").dataset.leaf;
    showTrace([]);
  });

  // ---- the rows given: a window of them drawn at a time, over spacers of their height --
  const rowOf = (i) => Object.fromEntries(used.map((f) => [f, R.columns[f][i]]));
  const box = $("table-box");
  let ROW = 22;  // a row's height in pixels, measured once drawn
  let chosen = -1, rowsShown = 0, rowLeaf = null, drawnRows = [0, 0];
  function select(i) {
    for (const tr of $("table").querySelectorAll("tr[data-row]")) {
      tr.setAttribute("aria-selected", +tr.dataset.row === i);
      tr.tabIndex = +tr.dataset.row === Math.max(i, 0) ? 0 : -1;
    }
    chosen = i;
    if (i < 0) return;
    for (const f of used) {  // the form shows the row, to change a value and ask again
      const v = R.columns[f][i];
      $("in" + f).value = v === null ? "" : typeof v === "string" ? UNSEEN : String(v);
      if (!cats[f]) $("in" + f).setAttribute("aria-invalid", false);
    }
    const row = rowOf(i), path = route(row);
    showTrace(path);
    answer(row, path);
  }
  function rowHtml(i) {
    const leaf = rowLeaf[i];
    const miss = R.targets && D.classes && R.targets[i] !== D.value[leaf];
    return `<tr id="r${i}" data-row="${i}" aria-rowindex="${i + 2}" ` +
      `tabindex="${i === Math.max(chosen, 0) ? 0 : -1}" aria-selected="${i === chosen}">` +
      `<th scope="row">${esc(R.labels[i])}</th>` + used.map((f) => {
        const v = R.columns[f][i];
        const how = typeof v !== "number" ? ' class="na"' : cats[f] ? "" : ` title="${v}"`;
        return `<td${how}>${esc(valueShown(v, f))}</td>`;
      }).join("") + (R.targets ? `<td>${esc(R.targets[i])}</td>` : "") +
      `<td>${esc(D.value[leaf])}${miss ? ' <span aria-label="wrong">\u2717</span>' : ""}</td></tr>`;
  }
  function drawRows(again) {  // the rows in view and ten either side, when those change
    const first = Math.max(0, Math.floor(box.scrollTop / ROW) - 10);
    const last = Math.min(rowsShown, first + Math.ceil(box.clientHeight / ROW) + 20);
    if (!again && first === drawnRows[0] && last === drawnRows[1]) return;
    drawnRows = [first, last];
    let s = `<tr style="height:${first * ROW}px" aria-hidden="true"></tr>`;
    for (let i = first; i < last; i++) s += rowHtml(i);
    s += `<tr style="height:${(rowsShown - last) * ROW}px" aria-hidden="true"></tr>`;
    $("table").tBodies[0].innerHTML = s;
  }
  function goToRow(i) {  // scrolls row i into view, draws it and focuses it
    if (i * ROW < box.scrollTop + ROW) box.scrollTop = Math.max(0, (i - 1) * ROW);
    else if ((i + 2) * ROW > box.scrollTop + box.clientHeight) {
      box.scrollTop = (i + 2) * ROW - box.clientHeight;
    }
    drawRows();
    select(i);
    $("r" + i).focus();
  }
  if (R) {
    $("rows").hidden = false;
    rowsShown = R.labels.length;
    rowLeaf = Array.from({ length: rowsShown }, (_, i) => route(rowOf(i)).pop());
    const some = rowsShown < R.total;
    $("rows-note").textContent = (some ? `The first ${rowsShown} of ${R.total} rows given` :
      `${rowsShown} rows given`) + "; choose one (or move with the arrow keys) to trace it." +
      (some ? " The histograms count all of them." : "");
    $("table").setAttribute("aria-rowcount", rowsShown + 1);
    $("table").innerHTML = `<thead><tr aria-rowindex="1"><th scope="col">row</th>` +
      used.map((f) => `<th scope="col">${esc(names[f])}</th>`).join("") +
      (R.targets ? `<th scope="col">true</th>` : "") + `<th scope="col">predicted</th></tr></thead>` +
      "<tbody></tbody>";
    drawRows();
    if (rowsShown) {
      ROW = $("r0").getBoundingClientRect().height || ROW;
      drawRows(true);
    }
    box.addEventListener("scroll", () => drawRows(), { passive: true });
    $("table").addEventListener("click", (e) => {
      const tr = e.target.closest("tr[data-row]");
      if (tr) goToRow(+tr.dataset.row);
    });
    $("table").addEventListener("keydown", (e) => {
      const tr = e.target.closest("tr[data-row]");
      if (!tr) return;
      const i = +tr.dataset.row;
      const next = { ArrowDown: i + 1, ArrowUp: i - 1, Home: 0, End: rowsShown - 1, Enter: i, " ": i }[e.key];
      if (next === undefined) return;
      e.preventDefault();
      if (next >= 0 && next < rowsShown) goToRow(next);
    });
  }

  // ---- header, legend, printing -----------------------------------------------------
  const leaves = D.left.filter((l) => l < 0).length;
  $("summary").textContent = `${D.estimator}, ${D.criterion}: ${N} nodes, ${leaves} leaves, ` +
    `${used.length} features used. Each depth splits on one feature; a node's "yes" child ` +
    `takes the rows that meet its rule, "no" the others (missing values and unseen categories ` +
    `included).`;
  const item = (swatch, text) => `<span role="listitem"><i style="${swatch}"></i>${esc(text)}</span>`;
  $("legend").innerHTML = D.classes
    ? D.classes.map((c, k) => item(`background:${D.palette[k]}`, c)).join("") +
      `<span role="listitem">a node takes its majority class's colour, paler when mixed</span>`
    : item(`width:60px;background:linear-gradient(90deg,${D.fill_range.join(",")})`,
           D.several ? `nodes from the highest ${D.criterion} (${D.value_range[0]}, pale) to ` +
             `the lowest (${D.value_range[1]}, orange)`
           : `nodes from the lowest value (${D.value_range[0]}, pale) to the highest ` +
             `(${D.value_range[1]}, orange)`);

  // A landscape A4 or Letter page holds about 1040 pixels across; a chart shrunk below
  // SMALLEST_PRINT of its size would print its boxes' text too small to read.
  const PRINTED_WIDTH = 1040, SMALLEST_PRINT = 0.55;
  let saved = null;
  window.addEventListener("beforeprint", () => {
    // The chart at the width of a landscape page, where that keeps it legible; the
    // outline lists every expanded node as text either way.
    saved = [scale, tx, ty];
    const width = columns * (W + GAP) + GAP, height = bandsShown * BAND + TOP;
    const fits = Math.min(1, (PRINTED_WIDTH - GUTTER) / width);
    document.body.classList.toggle("chartless", fits < SMALLEST_PRINT);
    view.classList.toggle("nochart", fits < SMALLEST_PRINT);
    scale = fits; tx = GUTTER; ty = 0;
    view.style.height = height * fits + "px";
    place();
    let s = "<h2>Outline of the expanded nodes</h2>" + (fits < SMALLEST_PRINT ? "<p>The chart is too " +
      "wide to print legibly and is left out: collapse nodes to print it.</p>" : "");
    for (const stack = [0]; stack.length;) {
      const j = stack.pop(), p = parent[j];
      const how = p < 0 ? "root" : (D.left[p] === j ? "yes: " + D.yes[p] : "no: " + D.no[p]);
      s += `<p style="margin-left:${D.depth[j] * 1.4}em"><i style="background:${D.fill[j]}"></i>` +
        `#${j} ${esc(how)}; ` +
        `samples ${D.samples[j]}, ${esc(D.criterion)} ${esc(D.impurity[j])}, ${esc(valueText(j))}` +
        (isLeaf(j) ? "" : collapsed[j] ? `; ${below(j)} nodes below, collapsed` : "") +
        (trace.has(j) ? (isLeaf(j) ? "; the traced row's leaf" : "; on the traced row's path") : "") + "</p>";
      if (!isLeaf(j) && !collapsed[j]) stack.push(D.right[j], D.left[j]);
    }
    $("outline").innerHTML = s;
  });
  window.addEventListener("afterprint", () => {
    [scale, tx, ty] = saved;
    view.style.height = "";
    place();
  });

  // ---- start: open as deep as shows at most OPEN_LEAVES columns ---------------------
  let depthShown = 0;
  for (let d = 1; ; d++) {
    let count = 0, deeper = false;
    for (let j = 0; j < N; j++) if (D.depth[j] === d || (D.depth[j] < d && isLeaf(j))) count++;
    for (let j = 0; j < N; j++) if (D.depth[j] >= d) deeper = true;
    if (!deeper || count > OPEN_LEAVES) break;
    depthShown = d;
  }
  for (let j = 0; j < N; j++) if (!isLeaf(j) && D.depth[j] >= depthShown) collapsed[j] = 1;
  if (collapsed.some((c) => c)) {
    $("keys").textContent += ` Deeper nodes start collapsed: "Expand all" shows them.`;
  }
  layout();
  fit();
  el[0].tabIndex = 0;
  document.documentElement.dataset.ready = "true";
})();
