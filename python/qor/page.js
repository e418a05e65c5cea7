// The tree page of qor: lays the tree out one band per depth, routes rows as the
// package does, and answers the form. The model is the JSON in #qor-data (see page.py).
"use strict";
(() => {
  const D = JSON.parse(document.getElementById("qor-data").textContent);
  const N = D.left.length;
  const H = D.hist ? D.hist.nodes : null;
  const R = D.rows;
  // Text is never scaled: zooming changes the room a node has (its column's width, in
  // pixels), and the room decides how much of the node is drawn. FULL: the whole node
  // in a box W wide; BRIEF: rule, value and rows in a box as wide as its column
  // allows, never narrower than BRIEF_PITCH (eight characters of 11 px text); BLOCK: a
  // block of the node's colour whose height tells its rows. A band is a depth's row:
  // its boxes and, above them, the room for the edges that come down to them.
  const FULL = 2, BRIEF = 1, BLOCK = 0;
  const W = 176, FULL_BOX = H ? 172 : 124, FULL_PITCH = W + 12, FULL_BAND = FULL_BOX + 40;
  // A BRIEF box holds three lines, and where the view has the height, two more: the
  // impurity and the class shares' bar.
  const BRIEF_PITCH = 54, BRIEF_BAND = 48 + 26, BRIEF_BAND_MOST = BRIEF_BAND + 30, LINE = 14.3;
  const PAD = 10;  // the margin that fitting keeps free inside the view
  const $ = (id) => document.getElementById(id);
  const esc = (s) => String(s).replace(/[&<>"']/g, (c) => "&#" + c.charCodeAt(0) + ";");
  const isLeaf = (j) => D.left[j] < 0;
  const parent = new Int32Array(N).fill(-1);
  for (let j = 0; j < N; j++) if (!isLeaf(j)) parent[D.left[j]] = parent[D.right[j]] = j;
  const sets = D.sets.map((s) => s && new Set(s));
  const used = D.used, names = D.names, cats = D.categories;
  const deepest = Math.max(...D.depth);
  const most = new Float64Array(deepest + 1);  // the most rows of a node at each depth
  for (let j = 0; j < N; j++) most[D.depth[j]] = Math.max(most[D.depth[j]], D.samples[j]);

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
  // The conditions that lead to node j's children, worded as the picture words them
  // (a long category set cut), and the left one with its set whole.
  const name = (j) => names[D.feature[j]];
  const yes = (j) => name(j) + " " + D.cut[j];
  const no = (j) => name(j) + " " + D.cut_no[j];
  const wholeSet = (j) => "{" + D.sets[j].map((c) => cats[D.feature[j]][c]).join(", ") + "}";
  const wholeRule = (j) => (sets[j] ? name(j) + " in " + wholeSet(j) : yes(j));
  const isCut = (j) => sets[j] && D.cut[j] !== "in " + wholeSet(j);
  function nodeLabel(j) {
    const parts = ["Node " + j, "depth " + D.depth[j]];
    if (parent[j] >= 0) parts.push(D.left[parent[j]] === j ? "yes branch" : "no branch");
    parts.push(isLeaf(j) ? "leaf" : "rule " + wholeRule(j));
    parts.push(D.samples[j] + " samples", "weighted " + D.weighted[j],
               D.criterion + " " + D.impurity[j], valueText(j));
    if (D.classes) parts.push("class shares " + sharesText(j));
    return parts.join(", ");
  }

  // ---- colours: a class's colour, and past the palette's length a pattern over it ----
  // Black or white text, whichever contrasts more with the fill (WCAG's luminance).
  const inks = new Map();
  function ink(hex) {
    if (!inks.has(hex)) inks.set(hex, luminance(hex) > 0.179 ? "#000" : "#fff");
    return inks.get(hex);
  }
  function luminance(hex) {
    const c = [1, 3, 5].map((i) => parseInt(hex.slice(i, i + 2), 16) / 255)
      .map((v) => (v <= 0.03928 ? v / 12.92 : ((v + 0.055) / 1.055) ** 2.4));
    return 0.2126 * c[0] + 0.7152 * c[1] + 0.0722 * c[2];
  }
  // The page's drawing of each of _colours.PATTERNS, in lines of the text's colour.
  function pattern(p, hex) {
    if (!p) return "none";
    const c = ink(hex) === "#000" ? "rgba(0,0,0,.45)" : "rgba(255,255,255,.7)";
    const lines = (deg) => `repeating-linear-gradient(${deg}deg,${c} 0 1.5px,transparent 1.5px 6px)`;
    return [lines(135), lines(45), lines(45) + "," + lines(135),
            `radial-gradient(${c} 1.2px,transparent 1.6px) 0 0/5px 5px`, lines(0)][p - 1];
  }
  const paint = (hex, p) => `background-color:${hex};background-image:${pattern(p, hex)}`;
  const classPaint = (k) => paint(D.palette[k], D.patterns ? D.patterns[k] : 0);
  const nodePattern = (j) => (D.pattern ? D.pattern[j] : 0);

  // ---- a node's content --------------------------------------------------------------
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
      bars = `<path class="b" d="${d}"/><text x="0" y="${ht + 11}">${esc(low)}</text>` +
        `<text x="${w - gap}" y="${ht + 11}" text-anchor="end">${esc(high)}</text>`;
      if (h.cut !== null) bars += `<line class="t" x1="${cut}" x2="${cut}" y1="0" y2="${ht}"/>`;
      label = `Histogram of ${names[f]} over the ${given} given rows that reach node ${j}` +
        (h.cut !== null ? `, the threshold marked in red at ${D.threshold[j]}` : "");
    }
    if (h.missing) {
      bars += `<rect class="m" x="${w - gap + 3}" y="${y(h.missing)}" width="${gap - 4}" ` +
        `height="${ht - y(h.missing)}"><title>missing or unseen: ${h.missing}</title></rect>`;
      label += `; ${h.missing} missing or unseen`;
    }
    return `<svg class="hist" width="${w}" height="${ht + 13}" role="img" aria-label="${esc(label)}">` +
      `<title>${esc(label)}</title>${bars}</svg>`;
  }

  // The whole node: what a FULL box and the card that BRIEF and BLOCK nodes show hold.
  function fullHtml(j) {
    const side = parent[j] < 0 ? "root" : D.left[parent[j]] === j ? "yes" : "no";
    let s = `<div class="top"><span class="id">#${j}</span><span class="side">${side}</span>` +
      `<span class="mark"></span></div>`;
    if (isLeaf(j)) s += `<div class="rule">leaf</div>`;
    else {
      const exact = D.threshold[j] === null ? "" : ` (threshold ${D.threshold[j]} exactly)`;
      s += `<div class="rule" title="${esc(wholeRule(j) + exact)}">` +
        `<span>${esc(name(j))}</span><b>&nbsp;${esc(D.cut[j])}</b></div>`;
    }
    s += `<div class="stats">samples ${D.samples[j]} &middot; weighted ${esc(D.weighted[j])}<br>` +
      `${esc(D.criterion)} ${esc(D.impurity[j])}</div>`;
    if (D.classes) s += shareBar(j, "div");
    return s + `<div class="value">${esc(valueText(j))}</div>` + histogram(j) + `<div class="more"></div>`;
  }
  // A BRIEF box: an inner node's rule, value and rows, a leaf's value, share and rows;
  // then its impurity and class shares, shown where the box is tall enough.
  function briefHtml(j) {
    const line = (text, tag = "span") => `<${tag}>${esc(text)}</${tag}>`;
    const rows = `<span class="n">n=${D.samples[j]}</span>`;
    const more = line(`${D.criterion} ${D.impurity[j]}`) + (D.classes ? shareBar(j, "span") : "");
    if (isLeaf(j)) {
      return line(D.classes ? D.value[j] : "value " + D.value[j], "b") + (D.classes ? line(share(j)) : "") +
        rows + more;
    }
    return line(D.cut[j], "b") + line(D.classes ? `${D.value[j]} ${share(j)}` : "value " + D.value[j]) +
      rows + more;
  }
  function shareBar(j, tag) {  // the class shares, a bar of the classes' colours
    const bar = D.shares[j].map((v, k) => (v ? `<i style="width:${v / 10}%;${classPaint(k)}"></i>` : ""));
    const text = esc(sharesText(j));
    return `<${tag} class="bar" role="img" aria-label="${text}" title="${text}">${bar.join("")}</${tag}>`;
  }

  // A node's content is made the first time it is shown, and its whole content the first
  // time it is shown FULL: a deep tree opens collapsed, and expanded it shows blocks,
  // so that its hidden or small nodes cost little.
  function fill(j) {
    const e = el[j];
    e.setAttribute("aria-label", nodeLabel(j));
    e.style.cssText += ";" + paint(D.fill[j], nodePattern(j)) + `;color:${ink(D.fill[j])}`;
    // The predicted class's own colour beside the fill, which pales as the node mixes.
    const chip = D.classes ? `<i class="chip" style="${classPaint(D.predicted[j])}"></i>` : "";
    e.innerHTML = chip + `<div class="full"></div><div class="brief">${briefHtml(j)}</div>` +
      (isLeaf(j) ? "" : `<button type="button" class="tog" tabindex="-1" aria-label="Collapse node ${j}">&minus;</button>`);
    drawn[j] = 1;
  }
  const whole = new Uint8Array(N);  // whether node j's .full holds its content
  function fillWhole(j) {
    whole[j] = 1;
    el[j].querySelector(".full").innerHTML = fullHtml(j);
    el[j].querySelector(".mark").textContent = markText(j);
    el[j].querySelector(".more").textContent = moreText(j);
  }
  const markText = (j) => (!trace.has(j) ? "" : isLeaf(j) ? "\u25b6 reached" : "path");
  const moreText = (j) => (collapsed[j] ? `+${below(j)} nodes below, collapsed` : "");

  const view = $("view"), canvas = $("canvas"), nodesBox = $("nodes"), edges = $("edges");
  const labelsIn = $("labels-in"), pin = $("pin"), card = $("card");
  nodesBox.innerHTML = Array.from({ length: N }, (_, j) => `<div class="node${isLeaf(j) ? " leaf" : ""} ` +
    `gone" id="n${j}" data-node="${j}" role="treeitem" tabindex="-1" aria-level="${D.depth[j] + 1}"></div>`)
    .join("");
  const el = Array.from({ length: N }, (_, j) => $("n" + j)), drawn = new Uint8Array(N);

  // ---- layout: every shown leaf or collapsed node takes a column, left to right ------
  // room: how many columns node j's box may span, centred on it, without reaching past
  // its own subtree's columns; no two boxes of a band share a column, so boxes within
  // their room never meet.
  const collapsed = new Uint8Array(N), shown = new Uint8Array(N);
  const x = new Float64Array(N), room = new Float64Array(N), first = new Float64Array(N);
  let columns = 0, bands = 0, byDepth = [];
  function below(j) {  // nodes under j
    let count = 0;
    for (const stack = [j]; stack.length;) {
      const k = stack.pop();
      if (!isLeaf(k)) { stack.push(D.left[k], D.right[k]); count += 2; }
    }
    return count;
  }
  const state = new Uint8Array(N).fill(2);  // the collapsed state a box shows (2: none yet)
  function layout(andDraw = true) {  // drawn at the current zoom, or left to the caller
    shown.fill(0);
    columns = 0; bands = 0;
    for (const stack = [[0, false]]; stack.length;) {
      const [j, done] = stack.pop();
      shown[j] = 1;
      if (isLeaf(j) || collapsed[j]) {
        x[j] = first[j] = columns++;
        room[j] = 1;
      } else if (done) {
        x[j] = (x[D.left[j]] + x[D.right[j]]) / 2;
        first[j] = first[D.left[j]];
        room[j] = 2 * Math.min(x[j] - first[j] + 0.5, columns - 0.5 - x[j]);
      } else stack.push([j, true], [D.right[j], false], [D.left[j], false]);
    }
    byDepth = [];
    for (let j = 0; j < N; j++) {
      const e = el[j];
      e.classList.toggle("gone", !shown[j]);
      if (!shown[j]) continue;
      if (!drawn[j]) { fill(j); mark(j); }
      const d = D.depth[j];
      bands = Math.max(bands, d + 1);
      (byDepth[d] = byDepth[d] || []).push(j);
      if (!isLeaf(j) && state[j] !== collapsed[j]) {
        state[j] = collapsed[j];
        e.setAttribute("aria-expanded", collapsed[j] ? "false" : "true");
        const t = e.querySelector(".tog");
        t.innerHTML = collapsed[j] ? "+" : "&minus;";
        t.setAttribute("aria-label", (collapsed[j] ? "Expand" : "Collapse") + " node " + j);
        if (whole[j]) e.querySelector(".more").textContent = moreText(j);
        e.querySelector(".n").textContent = "n=" + D.samples[j] + (collapsed[j] ? ` \u00b7 +${below(j)} below` : "");
        e.classList.toggle("shut", !!collapsed[j]);
      }
    }
    for (const row of byDepth) row.sort((a, b) => x[a] - x[b]);
    if (andDraw) draw();
  }

  // ---- geometry: where each shown box lies at the current zoom -----------------------
  // cw: a column's width in pixels; bh: a band's height; tier: what the boxes show.
  let cw = FULL_PITCH, bh = FULL_BAND, tier = FULL, tx = 0, ty = 0;
  let briefBand = BRIEF_BAND, blockBand = BRIEF_BAND;  // set from the view's height
  const tierOf = (c) => (c >= FULL_PITCH ? FULL : c >= BRIEF_PITCH ? BRIEF : BLOCK);
  const bandOf = (t) => (t === FULL ? FULL_BAND : t === BRIEF ? briefBand : blockBand);
  const boxTop = () => (tier === FULL ? 26 : tier === BRIEF ? 17 : bh * 0.2);
  const boxMax = () => (tier === FULL ? FULL_BOX : tier === BRIEF ? bh - 26 : bh * 0.62);
  const gx = new Float64Array(N), gy = new Float64Array(N), gw = new Float64Array(N), gh = new Float64Array(N);
  function geometry(j) {
    const d = D.depth[j], cx = (x[j] + 0.5) * cw;
    let w = W, h = boxMax();
    if (tier !== FULL) {
      const gap = tier === BRIEF ? Math.min(FULL_PITCH - W, Math.max(4, cw * 0.08)) : Math.min(3, cw * 0.2);
      w = Math.min(W, room[j] * cw - gap);
      // Zoomed out, a block's height tells its rows, against the band's largest node.
      if (tier === BLOCK) h *= 0.25 + 0.75 * D.samples[j] / most[d];
    }
    gx[j] = cx - w / 2; gy[j] = d * bh + boxTop(); gw[j] = w; gh[j] = h;
  }
  function draw() {
    nodesBox.className = "t" + tier + (D.classes ? " classed" : "");
    $("labels").classList.toggle("tight", bh < 44);
    for (let j = 0; j < N; j++) {
      if (!shown[j]) continue;
      geometry(j);
      const e = el[j], s = e.style;
      s.left = gx[j] + "px"; s.top = gy[j] + "px"; s.width = gw[j] + "px"; s.height = gh[j] + "px";
      // As many lines of the brief box as the box has room for (a block may have none).
      const lines = tier === BLOCK && gw[j] < BRIEF_PITCH ? 0 : Math.min(5, Math.floor((gh[j] - 4) / LINE));
      if (e.dataset.lines !== String(lines)) e.dataset.lines = lines;
    }
    const width = columns * cw, height = bands * bh;
    canvas.style.width = width + "px";
    canvas.style.height = height + "px";
    edges.setAttribute("width", width);
    edges.setAttribute("height", height);
    drawEdges();
    // Bands too thin for a line of text each are labelled every few bands.
    let b = "", l = "";
    const every = Math.ceil(15 / bh);
    for (let d = 0; d < bands; d++) {
      b += `<div class="band${d % 2 ? " odd" : ""}" style="top:${d * bh}px;height:${bh}px"></div>`;
      const f = D.levels[d];
      if (d % every) continue;
      l += `<div style="top:${d * bh + boxTop() + boxMax() / 2}px"><b>depth ${d}</b> ` +
        `<span>${f === null ? "leaves" : esc(names[f])}</span></div>`;
    }
    canvas.querySelectorAll(".band").forEach((e) => e.remove());
    canvas.insertAdjacentHTML("afterbegin", b);
    labelsIn.innerHTML = l;
    place();
  }
  function drawEdges() {  // the traced path's edges apart, drawn bold
    let straight = "", onPath = "";
    for (let j = 1; j < N; j++) {
      if (!shown[j]) continue;
      const p = parent[j];
      const x0 = gx[p] + gw[p] / 2, y0 = gy[p] + gh[p], x1 = gx[j] + gw[j] / 2, y1 = gy[j];
      const m = (y0 + y1) / 2, seg = `M${x0} ${y0}C${x0} ${m} ${x1} ${m} ${x1} ${y1}`;
      if (trace.has(j)) onPath += seg; else straight += seg;
    }
    edges.innerHTML = `<path d="${straight}"/><path class="on" d="${onPath}"/>`;
    edges.classList.toggle("thin", cw < 8);  // hundreds of edges a few pixels apart
    const leaf = [...trace].find((j) => isLeaf(j) && shown[j]);
    pin.hidden = leaf === undefined;
    if (leaf !== undefined) {
      pin.style.left = gx[leaf] + gw[leaf] / 2 + "px";
      pin.style.top = gy[leaf] + "px";
    }
  }
  function mark(j) {  // shows whether node j is on the traced path, or its leaf
    const e = el[j], on = trace.has(j), hit = on && isLeaf(j);
    e.classList.toggle("on", on);
    e.classList.toggle("hit", hit);
    if (whole[j]) e.querySelector(".mark").textContent = markText(j);
    if (on) e.setAttribute("aria-current", hit ? "true" : "step");
    else e.removeAttribute("aria-current");
  }

  // ---- zoom and pan -----------------------------------------------------------------
  function place() {
    canvas.style.transform = `translate(${tx}px,${ty}px)`;
    labelsIn.style.transform = `translateY(${ty}px)`;
    if (tier === FULL) {  // whole boxes are made as they come near the view
      const [vw, vh] = viewSize;
      for (let j = 0; j < N; j++) {
        if (shown[j] && !whole[j] && tx + gx[j] < 2 * vw && tx + gx[j] + gw[j] > -vw &&
            ty + gy[j] < 2 * vh && ty + gy[j] + gh[j] > -vh) fillWhole(j);
      }
    }
    markSeen();
  }
  // The view's size, read when it changes rather than at every move.
  const measure = () => { viewSize = [view.clientWidth, view.clientHeight]; };
  let viewSize = [0, 0];
  new ResizeObserver(measure).observe(view);
  const space = () => [viewSize[0] - 2 * PAD, viewSize[1] - 2 * PAD];
  // The view's tier at column width c; BLOCK bands share the view's height.
  function setPitch(c) {
    const t = tierOf(c);
    if (t !== tier) shareHeight(space()[1]);
    cw = c; tier = t; bh = bandOf(t);
  }
  // BRIEF and BLOCK bands share the view's height, within their least and most.
  function shareHeight(height) {
    briefBand = Math.max(BRIEF_BAND, Math.min(BRIEF_BAND_MOST, height / bands));
    blockBand = Math.min(BRIEF_BAND, height / bands);
  }
  function zoom(factor, cx = viewSize[0] / 2, cy = viewSize[1] / 2) {
    const [aw] = space(), column = (cx - tx) / cw, band = (cy - ty) / bh;
    fitted = false;
    setPitch(Math.min(FULL_PITCH, Math.max(Math.min(BRIEF_PITCH, aw / columns) / 2, cw * factor)));
    tx = cx - column * cw;
    ty = cy - band * bh;
    hideCard();
    draw();
  }
  // Whether the view shows what "Fit" made of it: nodes opened by a trace fit anew.
  let fitted = true;
  // Every shown node inside the view, each as legible as the room allows: the widest
  // columns that fit across, then the most detailed boxes whose bands fit down.
  function fit() {
    const [aw, ah] = space();
    fitted = true;
    cw = Math.min(FULL_PITCH, aw / columns);
    tier = tierOf(cw);
    shareHeight(ah);
    while (tier > BLOCK && bands * bandOf(tier) > ah) tier--;
    bh = bandOf(tier);
    tx = PAD + (aw - columns * cw) / 2;
    ty = PAD;
    hideCard();
    draw();
  }
  function reveal(j) {  // pans the least that shows node j whole
    const l = tx + gx[j], t = ty + gy[j], r = l + gw[j], b = t + gh[j];
    const [vw, vh] = viewSize;
    if (l < PAD) tx += PAD - l; else if (r > vw - PAD) tx -= r - vw + PAD;
    if (t < PAD) ty += PAD - t; else if (b > vh - PAD) ty -= b - vh + PAD;
    place();
  }
  // Opens the nodes above j and zooms in on it with its boxes whole.
  function goTo(j) {
    let opened = false;
    for (let a = parent[j]; a >= 0; a = parent[a]) if (collapsed[a]) { collapsed[a] = 0; opened = true; }
    if (opened) layout(false);
    fitted = false;
    setPitch(FULL_PITCH);
    tx = viewSize[0] / 2 - (x[j] + 0.5) * cw;
    ty = viewSize[1] / 3 - D.depth[j] * bh - boxTop();
    draw();
    focusNode(j);
  }
  // The wheel pans; with Ctrl (as a touchpad's pinch sends it) it zooms at the pointer.
  let pinch = null;
  view.addEventListener("wheel", (e) => {
    e.preventDefault();
    if (e.ctrlKey) {
      // A pinch sends many events a frame; they add up into one redraw.
      const box = view.getBoundingClientRect();
      if (!pinch) {
        pinch = { factor: 1 };
        requestAnimationFrame(() => { zoom(pinch.factor, pinch.x, pinch.y); pinch = null; });
      }
      pinch.factor *= Math.exp(-e.deltaY * 0.004);
      pinch.x = e.clientX - box.left;
      pinch.y = e.clientY - box.top;
      return;
    }
    hideCard();
    tx -= e.shiftKey ? e.deltaY : e.deltaX;
    ty -= e.shiftKey ? 0 : e.deltaY;
    fitted = false;
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
    if (!panned) { view.setPointerCapture(drag.id); hideCard(); }
    panned = true;
    view.classList.add("panning");
    tx = drag.tx + dx; ty = drag.ty + dy;
    fitted = false;
    place();
  });
  const endDrag = () => { drag = null; view.classList.remove("panning"); };
  view.addEventListener("pointerup", endDrag);
  view.addEventListener("pointercancel", endDrag);
  $("zoom-in").onclick = () => zoom(1.25);
  $("zoom-out").onclick = () => zoom(0.8);
  $("zoom-fit").onclick = fit;

  // ---- the card: the whole node, beside a node drawn BRIEF or as a BLOCK ------------
  function showCard(j) {
    if (tier === FULL || !shown[j] || drag) return hideCard();
    card.innerHTML = fullHtml(j);
    card.style.cssText = paint(D.fill[j], nodePattern(j)) + `;color:${ink(D.fill[j])}`;
    card.querySelector(".mark").textContent = markText(j);
    card.hidden = false;
    const [vw, vh] = viewSize, w = card.offsetWidth, h = card.offsetHeight;
    let l = tx + gx[j] + gw[j] + 10;
    if (l + w > vw - 4) l = tx + gx[j] - w - 10;
    card.style.left = Math.max(4, Math.min(vw - w - 4, l)) + "px";
    card.style.top = Math.max(4, Math.min(vh - h - 4, ty + gy[j])) + "px";
  }
  function hideCard() { card.hidden = true; }
  nodesBox.addEventListener("pointerover", (e) => {
    const node = e.target.closest(".node");
    if (node) showCard(+node.dataset.node);
  });
  nodesBox.addEventListener("pointerleave", hideCard);

  // ---- collapse, expand and the keyboard --------------------------------------------
  function toggle(j) {
    if (isLeaf(j)) return;
    collapsed[j] ^= 1;
    layout();
    reveal(j);
  }
  $("expand-all").onclick = () => { collapsed.fill(0); layout(false); fit(); };
  $("collapse-all").onclick = () => {
    for (let j = 0; j < N; j++) collapsed[j] = isLeaf(j) ? 0 : 1;
    layout(false); fit(); focusNode(0);
  };
  let focused = 0;
  function focusNode(j) {
    el[focused].tabIndex = -1;
    focused = j;
    el[j].tabIndex = 0;
    el[j].focus({ preventScroll: true });
    reveal(j);
    if (tier !== FULL) showCard(j);
  }
  nodesBox.addEventListener("click", (e) => {
    const node = e.target.closest(".node");
    if (!node || panned) return;
    const j = +node.dataset.node;
    if (e.target.closest(".tog")) toggle(j);
    if (tier === BLOCK) goTo(j); else focusNode(j);
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
    if (opened && fitted) { layout(false); fit(); } else if (opened) layout(); else drawEdges();
    if (path.length) reveal(path[path.length - 1]);
    markTraced();
  }
  // One step of the path as HTML: the row's own value, the condition it met or failed
  // (a cut category set with a button that shows it whole), and the side it took.
  function step(row, j, next) {
    const f = D.feature[j], v = row[f];
    if (v === null || Number.isNaN(v)) return `${esc(names[f])} is missing (no)`;
    if (typeof v === "string") return `${esc(names[f])} is \u201c${esc(v)}\u201d, unseen in fit (no)`;
    const left = D.left[j] === next;
    let condition = esc(left ? D.cut[j] : D.cut_no[j]);
    if (isCut(j)) {
      const at = condition.lastIndexOf("\u2026, ");
      condition = condition.slice(0, condition.indexOf("{")) + `<span class="set">` +
        condition.slice(condition.indexOf("{"), at + 3) +
        `<button type="button" class="whole" data-node="${j}" aria-label="Show all ` +
        `${D.sets[j].length} categories">${condition.slice(at + 3, -1)}</button>}</span>`;
    }
    return `${esc(names[f])} is ${esc(valueShown(v, f))}, ${condition} (${left ? "yes" : "no"})`;
  }
  function answer(row, path) {
    const leaf = path[path.length - 1];
    const rows = `the ${D.samples[leaf]} training rows in leaf #${leaf}`;
    const how = D.classes ? `${share(leaf)} of ${rows}`
      : D.several ? `each output's, from ${rows}` : `the mean of ${rows}`;
    const steps = path.slice(0, -1).map((j, i) => step(row, j, path[i + 1]));
    $("answer").innerHTML = `<p><strong>Prediction: ${esc(D.value[leaf])}</strong> (${esc(how)})</p>` +
      `<p>${steps.length ? "Path: " + steps.join("; then ") + "." : "The tree is a single leaf."}</p>`;
    $("answer").dataset.leaf = leaf;
  }
  $("answer").addEventListener("click", (e) => {
    const button = e.target.closest("button.whole");
    if (button) button.closest(".set").textContent = wholeSet(+button.dataset.node);
  });

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
  // The rows in view and ten either side, drawn anew only when some row in view is not
  // drawn: a row stays the same element while it can.
  function drawRows(again) {
    const top = Math.floor(box.scrollTop / ROW);
    const bottom = Math.min(rowsShown, Math.ceil((box.scrollTop + box.clientHeight) / ROW));
    if (!again && top >= drawnRows[0] && bottom <= drawnRows[1]) return;
    const first = Math.max(0, top - 10), last = Math.min(rowsShown, bottom + 10);
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
    $("r" + i).focus({ preventScroll: true });  // the list scrolls itself, the panel stays
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

  // ---- the overview: each depth's thresholds on its feature's axis --------------------
  // A mark per inner node, as tall as its rows against the depth's largest; a category
  // axis has a bar per category instead, as tall as the share of the depth's rows whose
  // node sends that category left. Choosing a mark goes to its node.
  const STRIP_W = 264, STRIP_H = 22;
  const inner = Array.from({ length: deepest + 1 }, () => []);
  for (let j = 0; j < N; j++) if (!isLeaf(j)) inner[D.depth[j]].push(j);
  const marks = [];  // per depth, [position, node, description] of its marks
  const ticks = [];  // [node, element] of the numeric marks, lit while their node is in view
  function strip(d) {
    const f = D.levels[d], nodes = inner[d];
    const top = Math.max(...nodes.map((j) => D.samples[j]));
    let s = "", ends = "";
    marks[d] = [];
    if (cats[f]) {
      const K = cats[f].length, w = STRIP_W / K;
      const total = nodes.reduce((a, j) => a + D.samples[j], 0);
      for (let k = 0; k < K; k++) {
        const going = nodes.filter((j) => sets[j].has(k));
        const rows = going.reduce((a, j) => a + D.samples[j], 0), h = (STRIP_H - 2) * rows / total;
        const text = `${names[f]} ${cats[f][k]}: yes in nodes holding ${pct(Math.round(1000 * rows / total))} ` +
          "of the depth's rows";
        s += `<rect class="c" x="${k * w + 0.25}" y="${STRIP_H - h}" width="${Math.max(w - 0.5, 0.5)}" ` +
          `height="${h}"><title>${esc(text)}</title></rect>`;
        const biggest = (going.length ? going : nodes).reduce((a, j) => (D.samples[j] > D.samples[a] ? j : a));
        marks[d].push([(k + 0.5) * w, biggest, text]);
      }
      ends = `${K} categories`;
    } else {
      const thresholds = nodes.map((j) => D.threshold[j]);
      const range = D.hist && D.hist.ranges[d] ? D.hist.ranges[d].map(Number) : [Infinity, -Infinity];
      let lo = Math.min(range[0], ...thresholds), hi = Math.max(range[1], ...thresholds);
      if (!(hi > lo)) { lo -= 1; hi += 1; }
      for (const j of nodes) {
        const at = 1 + (STRIP_W - 2) * (D.threshold[j] - lo) / (hi - lo);
        const h = 3 + (STRIP_H - 5) * D.samples[j] / top;
        s += `<rect class="t" id="o${j}" x="${at - 1}" y="${STRIP_H - h}" width="2" height="${h}"/>`;
        marks[d].push([at, j, `#${j}: ${yes(j)}, n=${D.samples[j]}`]);
      }
      const num = (v) => esc(String(+v.toPrecision(D.precision)));
      ends = `${num(lo)} to ${num(hi)}`;
    }
    return `<div class="strip"><div class="head"><button type="button" class="lvl" data-depth="${d}">` +
      `depth ${d}</button> <span>${esc(names[f])}</span><span class="ends">${ends}</span></div>` +
      `<svg width="${STRIP_W}" height="${STRIP_H}" data-depth="${d}" role="img" ` +
      `aria-label="${esc(`${names[f]}: ${nodes.length} nodes`)}"><line class="axis" x1="0" ` +
      `x2="${STRIP_W}" y1="${STRIP_H - 0.5}" y2="${STRIP_H - 0.5}"/>${s}</svg></div>`;
  }
  const levelsShown = D.levels.map((f, d) => (f !== null && inner[d].length ? d : -1)).filter((d) => d >= 0);
  if (levelsShown.length) {
    $("strips").innerHTML = levelsShown.map(strip).join("");
    for (const e of $("strips").querySelectorAll("rect.t")) ticks.push([+e.id.slice(1), e]);
  } else $("overview").hidden = true;
  function nearestMark(e) {  // the mark under or nearest the pointer, within 8 pixels
    const svg = e.target.closest("svg[data-depth]");
    if (!svg) return null;
    if (e.target.id && e.target.id[0] === "o") {
      const j = +e.target.id.slice(1);
      return marks[D.depth[j]].find((m) => m[1] === j);
    }
    const at = e.clientX - svg.getBoundingClientRect().left;
    let best = null;
    for (const m of marks[+svg.dataset.depth]) {
      if (Math.abs(m[0] - at) <= 8 && (!best || Math.abs(m[0] - at) < Math.abs(best[0] - at))) best = m;
    }
    return best;
  }
  $("strips").addEventListener("pointermove", (e) => {
    const m = nearestMark(e);
    $("overview-note").textContent = m ? m[2] : "";
  });
  $("strips").addEventListener("click", (e) => {
    const level = e.target.closest("button.lvl");
    if (level) {
      ty = PAD - +level.dataset.depth * bh;
      place();
      return;
    }
    const m = nearestMark(e);
    if (m) goTo(m[1]);
  });
  const lit = new Uint8Array(N);
  let seenQueued = false;
  function markSeen() {  // at most once a frame, however fast the view pans
    if (seenQueued || !ticks.length) return;
    seenQueued = true;
    requestAnimationFrame(() => {
      seenQueued = false;
      const [vw, vh] = viewSize;
      for (const [j, e] of ticks) {
        const l = tx + gx[j], t = ty + gy[j];
        const on = shown[j] && l < vw && l + gw[j] > 0 && t < vh && t + gh[j] > 0 ? 1 : 0;
        if (on !== lit[j]) { lit[j] = on; e.classList.toggle("seen", !!on); }
      }
    });
  }
  function markTraced() {
    for (const [j, e] of ticks) e.classList.toggle("on", trace.has(j));
  }

  // ---- header, legend, printing -----------------------------------------------------
  const leaves = D.left.filter((l) => l < 0).length;
  $("summary").textContent = `${D.estimator}, ${D.criterion}: ${N} nodes, ${leaves} leaves, ` +
    `${used.length} features used. Each depth splits on one feature; a node's "yes" child ` +
    `(on the left) takes the rows that meet its rule, "no" the others (missing values and unseen ` +
    `categories included).`;
  const item = (swatch, text) => `<span role="listitem"><i style="${swatch}"></i>${esc(text)}</span>`;
  $("legend").innerHTML = D.classes
    ? D.classes.map((c, k) => item(classPaint(k), c)).join("") +
      `<span role="listitem">a node takes its majority class's colour, paler when mixed</span>`
    : item(`width:60px;background:linear-gradient(90deg,${D.fill_range.join(",")})`,
           D.several ? `nodes from the highest ${D.criterion} (${D.value_range[0]}, pale) to ` +
             `the lowest (${D.value_range[1]}, orange)`
           : `nodes from the lowest value (${D.value_range[0]}, pale) to the highest ` +
             `(${D.value_range[1]}, orange)`);

  // A landscape Letter or A4 page holds about 970 pixels across, the depths' labels
  // included; a chart whose boxes would print as blocks is left out.
  const PRINTED_WIDTH = 970;
  let saved = null;
  window.addEventListener("beforeprint", () => {
    saved = [cw, tier, bh, tx, ty];
    setPitch(Math.min(FULL_PITCH, (PRINTED_WIDTH - $("labels").offsetWidth) / columns));
    const chartless = tier === BLOCK;
    document.body.classList.toggle("chartless", chartless);
    view.classList.toggle("nochart", chartless);
    tx = 0; ty = 0;
    view.style.height = bands * bh + "px";
    viewSize = [Infinity, Infinity];  // the whole chart prints: every box whole
    draw();
    let s = "<h2>Outline of the expanded nodes</h2>" + (chartless ? "<p>The chart is too " +
      "wide to print legibly and is left out: collapse nodes to print it.</p>" : "");
    for (const stack = [0]; stack.length;) {
      const j = stack.pop(), p = parent[j];
      const how = p < 0 ? "root" : (D.left[p] === j ? "yes: " + yes(p) : "no: " + no(p));
      s += `<p style="margin-left:${D.depth[j] * 1.4}em"><i style="${paint(D.fill[j], nodePattern(j))}"></i>` +
        `#${j} ${esc(how)}; ` +
        `samples ${D.samples[j]}, ${esc(D.criterion)} ${esc(D.impurity[j])}, ${esc(valueText(j))}` +
        (isLeaf(j) ? "" : collapsed[j] ? `; ${below(j)} nodes below, collapsed` : "") +
        (trace.has(j) ? (isLeaf(j) ? "; the traced row's leaf" : "; on the traced row's path") : "") + "</p>";
      if (!isLeaf(j) && !collapsed[j]) stack.push(D.right[j], D.left[j]);
    }
    $("outline").innerHTML = s;
  });
  window.addEventListener("afterprint", () => {
    [cw, tier, bh, tx, ty] = saved;
    view.style.height = "";
    measure();
    draw();
  });

  // ---- start: as deep as fits the view with every box legible ------------------------
  // Collapsed below depth d, the tree shows the nodes at d and the leaves above it. A
  // collapsed node tells its rule and what lies below it, and needs more room than a
  // leaf.
  const OPEN_PITCH = 96;
  measure();
  const [aw, tall] = space(), ah = tall - 20;  // 20: a line the summary may yet gain
  const atDepth = new Int32Array(deepest + 1), leavesAt = new Int32Array(deepest + 1);
  for (let j = 0; j < N; j++) { atDepth[D.depth[j]]++; if (isLeaf(j)) leavesAt[D.depth[j]]++; }
  let depthShown = 0;
  for (let d = 1, leavesAbove = 0; d <= deepest; d++) {
    leavesAbove += leavesAt[d - 1];
    const pitch = atDepth[d] > leavesAt[d] ? OPEN_PITCH : BRIEF_PITCH;
    if ((atDepth[d] + leavesAbove) * pitch > aw || (d + 1) * BRIEF_BAND > ah) break;
    depthShown = d;
  }
  for (let j = 0; j < N; j++) if (!isLeaf(j) && D.depth[j] >= depthShown) collapsed[j] = 1;
  if (collapsed.some((c) => c)) {
    $("summary").textContent += ` It opens down to depth ${depthShown}, as deep as fits the view ` +
      `legibly: "Expand all" shows every node.`;
  }
  layout(false);
  measure();  // the summary above may have grown a line
  fit();
  el[0].tabIndex = 0;
  document.documentElement.dataset.ready = "true";
})();
