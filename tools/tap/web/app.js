'use strict';
// The live plan: anchors, range circles, every tag seen lately with its trail, a table and a
// status strip, fed by the tap's WebSocket at /live. Drawn at most once per display frame.
(function () {
  const params = new URLSearchParams(location.search);
  const trailSeconds = Math.max(0, Number(params.get('trail') || 10)) || 10;
  const SeenWithinMs = 10000;
  const canvas = document.getElementById('canvas');
  const context = canvas.getContext('2d');
  const tbody = document.querySelector('#table tbody');
  const strip = {
    connection: document.getElementById('connection'),
    kit: document.getElementById('kit'),
    rate: document.getElementById('rate'),
    fit: document.getElementById('fit'),
    layout: document.getElementById('layout'),
  };

  // The view: the plan's point at the canvas's centre, in metres, and pixels per metre.
  const view = { cx: Number(params.get('cx')), cy: Number(params.get('cy')), scale: Number(params.get('s')) };
  let fitted = params.has('s') && view.scale > 0;
  if (!fitted) Object.assign(view, { cx: 0, cy: 0, scale: 60 });
  const tags = new Map(); // id -> { latest, seen, trail: [{ t, x, y }] }
  let selected = null;
  let status = null;
  let dirty = false;
  let lastMessage = 0;

  const colour = (id, alpha) => `hsla(${(id * 137.5 + 200) % 360}, 85%, 42%, ${alpha === undefined ? 1 : alpha})`;
  const size = () => ({ w: canvas.clientWidth, h: canvas.clientHeight });
  const toPixel = (x, y) => {
    const { w, h } = size();
    return [w / 2 + (x - view.cx) * view.scale, h / 2 - (y - view.cy) * view.scale];
  };
  const toPlan = (px, py) => {
    const { w, h } = size();
    return [view.cx + (px - w / 2) / view.scale, view.cy - (py - h / 2) / view.scale];
  };
  // For automation and tests: where a point of the plan is on the canvas, in CSS pixels.
  window.zorvanPlan = { toPixel };

  function redraw() {
    if (!dirty) {
      dirty = true;
      requestAnimationFrame(draw);
    }
  }

  let urlTimer = 0;
  function keepInUrl() {
    clearTimeout(urlTimer);
    urlTimer = setTimeout(() => {
      params.set('cx', view.cx.toFixed(2));
      params.set('cy', view.cy.toFixed(2));
      params.set('s', view.scale.toFixed(1));
      history.replaceState(null, '', '?' + params.toString());
    }, 300);
  }

  function fit() {
    const points = [];
    for (const tag of tags.values()) {
      points.push([tag.latest.x, tag.latest.y]);
      for (const a of tag.latest.anchors) points.push([a.x, a.y]);
    }
    if (!points.length) return false;
    const xs = points.map((p) => p[0]);
    const ys = points.map((p) => p[1]);
    const [x0, x1, y0, y1] = [Math.min(...xs) - 1, Math.max(...xs) + 1, Math.min(...ys) - 1, Math.max(...ys) + 1];
    const { w, h } = size();
    view.cx = (x0 + x1) / 2;
    view.cy = (y0 + y1) / 2;
    view.scale = Math.max(1, Math.min(w / (x1 - x0), h / (y1 - y0)));
    keepInUrl();
    redraw();
    return true;
  }

  function zoomAbout(px, py, factor) {
    const [x, y] = toPlan(px, py);
    view.scale = Math.min(5000, Math.max(1, view.scale * factor));
    const [x2, y2] = toPlan(px, py);
    view.cx += x - x2;
    view.cy += y - y2;
    fitted = true;
    keepInUrl();
    redraw();
  }

  function drawGrid(w, h) {
    // Lines at least 40 px apart, at 1, 2 or 5 times a power of ten metres.
    let step = Math.pow(10, Math.floor(Math.log10(40 / view.scale)));
    for (const m of [1, 2, 5, 10]) if (step * m * view.scale >= 40) { step *= m; break; }
    const [left, top] = toPlan(0, 0);
    const [right, bottom] = toPlan(w, h);
    context.lineWidth = 1;
    context.strokeStyle = '#d6d6d6';
    context.fillStyle = '#666';
    context.font = '11px system-ui, sans-serif';
    context.beginPath();
    for (let x = Math.ceil(left / step) * step; x <= right; x += step) {
      const [px] = toPixel(x, 0);
      context.moveTo(px, 0);
      context.lineTo(px, h);
    }
    for (let y = Math.ceil(bottom / step) * step; y <= top; y += step) {
      const [, py] = toPixel(0, y);
      context.moveTo(0, py);
      context.lineTo(w, py);
    }
    context.stroke();
    const [ox, oy] = toPixel(0, 0);
    context.strokeStyle = '#222';
    context.lineWidth = 2;
    context.beginPath();
    context.moveTo(0, oy); context.lineTo(w, oy);
    context.moveTo(ox, 0); context.lineTo(ox, h);
    context.stroke();
    const digits = step < 1 ? 1 : 0;
    for (let x = Math.ceil(left / step) * step; x <= right; x += step)
      if (Math.abs(x) > step / 2) context.fillText(x.toFixed(digits) + ' m', toPixel(x, 0)[0] + 3, Math.min(h - 4, Math.max(12, oy - 4)));
    for (let y = Math.ceil(bottom / step) * step; y <= top; y += step)
      if (Math.abs(y) > step / 2) context.fillText(y.toFixed(digits) + ' m', Math.min(w - 40, Math.max(3, ox + 4)), toPixel(0, y)[1] - 3);
  }

  function draw() {
    dirty = false;
    const dpr = window.devicePixelRatio || 1;
    const { w, h } = size();
    if (canvas.width !== Math.round(w * dpr) || canvas.height !== Math.round(h * dpr)) {
      canvas.width = Math.round(w * dpr);
      canvas.height = Math.round(h * dpr);
    }
    context.setTransform(dpr, 0, 0, dpr, 0, 0);
    context.clearRect(0, 0, w, h);
    drawGrid(w, h);
    const now = Date.now();
    const chosen = tags.get(selected);
    if (chosen) {
      // The anchors and their range circles, seen from above, as the chosen tag's report has them.
      for (const a of chosen.latest.anchors) {
        const dz = a.z - chosen.latest.z;
        const reach = Math.sqrt(Math.max(0, a.range * a.range - dz * dz));
        const [px, py] = toPixel(a.x, a.y);
        context.strokeStyle = 'rgba(0, 0, 128, 0.8)';
        context.lineWidth = 1.5;
        context.beginPath();
        context.arc(px, py, reach * view.scale, 0, 2 * Math.PI);
        context.stroke();
        context.fillStyle = '#1030d0';
        context.beginPath();
        context.arc(px, py, 6, 0, 2 * Math.PI);
        context.fill();
        context.font = 'bold 13px system-ui, sans-serif';
        context.fillText(String(a.id), px + 8, py - 8);
      }
    }
    const shown = [...tags.entries()].filter(([, tag]) => now - tag.seen <= SeenWithinMs);
    // Every trail first, then every tag on top of them.
    for (const [id, tag] of shown) {
      while (tag.trail.length && now - tag.trail[0].t > trailSeconds * 1000) tag.trail.shift();
      context.lineWidth = 3;
      for (let i = 1; i < tag.trail.length; ++i) {
        const age = (now - tag.trail[i].t) / (trailSeconds * 1000);
        context.strokeStyle = colour(id, Math.max(0.05, 0.8 * (1 - age)));
        context.beginPath();
        context.moveTo(...toPixel(tag.trail[i - 1].x, tag.trail[i - 1].y));
        context.lineTo(...toPixel(tag.trail[i].x, tag.trail[i].y));
        context.stroke();
      }
    }
    for (const [id, tag] of shown) {
      const [px, py] = toPixel(tag.latest.x, tag.latest.y);
      context.fillStyle = colour(id);
      context.beginPath();
      context.arc(px, py, 8, 0, 2 * Math.PI);
      context.fill();
      context.font = 'bold 13px system-ui, sans-serif';
      context.fillText(`tag ${id}`, px + 10, py + 16);
    }
    // Trails fade as time goes on, so the plan is drawn again while any tag moved lately.
    for (const tag of tags.values()) if (now - tag.seen < trailSeconds * 1000 && tag.trail.length > 1) { redraw(); break; }
  }

  function fillTable() {
    const now = Date.now();
    const rows = [...tags.entries()].sort((a, b) => a[0] - b[0]);
    tbody.replaceChildren(...rows.map(([id, tag]) => {
      const r = tag.latest;
      const tr = document.createElement('tr');
      tr.dataset.tag = id;
      if (id === selected) tr.className = 'selected';
      if (now - tag.seen > SeenWithinMs) tr.classList.add('stale');
      const cells = [Math.round(r.x * 100), Math.round(r.y * 100), Math.round(r.z * 100),
        (r.quality.rms * 100).toFixed(1), r.quality.gdop === null ? '∞' : r.quality.gdop.toFixed(2)];
      const name = document.createElement('td');
      name.className = 'tag';
      const swatch = document.createElement('span');
      swatch.className = 'swatch';
      swatch.style.background = colour(id);
      name.append(swatch, String(id));
      tr.append(name, ...cells.map((value) => {
        const td = document.createElement('td');
        td.textContent = String(value);
        return td;
      }));
      tr.addEventListener('click', () => { selected = id; fillTable(); showStatus(); redraw(); });
      return tr;
    }));
  }

  function showStatus() {
    const chosen = tags.get(selected);
    if (status) {
      strip.kit.textContent = status.kit ? 'kit link up' : 'kit link down';
      strip.kit.className = status.kit ? 'good' : 'bad';
      strip.rate.textContent = `${status.fps} frames/s`;
      const verdict = status.tags && status.tags[selected];
      if (verdict) {
        strip.layout.textContent = verdict.layout.replace(' on the recording', '');
        strip.layout.className = verdict.layout.startsWith('layout consistent') ? 'good' : 'bad';
      }
    }
    if (chosen) {
      const q = chosen.latest.quality;
      strip.fit.textContent = `tag ${selected}: rms ${(q.rms * 100).toFixed(1)} cm · gdop ${q.gdop === null ? '∞' : q.gdop.toFixed(2)}`;
    }
  }

  let tableTimer = 0;
  function onReport(report) {
    let tag = tags.get(report.tag);
    if (!tag) {
      tag = { trail: [] };
      tags.set(report.tag, tag);
      if (selected === null) selected = report.tag;
    }
    tag.latest = report;
    tag.seen = Date.now();
    tag.trail.push({ t: tag.seen, x: report.x, y: report.y });
    if (!fitted) fitted = fit();
    if (!tableTimer) tableTimer = setTimeout(() => { tableTimer = 0; fillTable(); showStatus(); }, 100);
    redraw();
  }

  let retryMs = 1000;
  function connect() {
    const socket = new WebSocket(`ws://${location.host}/live`);
    socket.onopen = () => {
      retryMs = 1000;
      strip.connection.textContent = 'live';
      strip.connection.className = 'good';
    };
    socket.onmessage = (event) => {
      lastMessage = Date.now();
      const message = JSON.parse(event.data);
      if (message.status) {
        status = message.status;
        showStatus();
        fillTable();
      } else {
        onReport(message);
      }
    };
    socket.onclose = () => {
      strip.connection.textContent = `stream stopped: reconnecting in ${retryMs / 1000} s`;
      strip.connection.className = 'bad';
      setTimeout(connect, retryMs);
      retryMs = Math.min(5000, retryMs * 2);
    };
  }

  // The tap says how it is every second: silence means the stream stopped.
  setInterval(() => {
    if (lastMessage && Date.now() - lastMessage > 3000 && strip.connection.textContent === 'live') {
      strip.connection.textContent = `no news for ${Math.round((Date.now() - lastMessage) / 1000)} s`;
      strip.connection.className = 'bad';
    }
  }, 1000);

  // Gestures: wheel and pinch zoom about the pointer, drag and one-finger pan.
  const pointers = new Map();
  let pinch = null;
  canvas.addEventListener('wheel', (event) => {
    event.preventDefault();
    const r = canvas.getBoundingClientRect();
    zoomAbout(event.clientX - r.left, event.clientY - r.top, Math.pow(1.0015, -event.deltaY));
  }, { passive: false });
  canvas.addEventListener('pointerdown', (event) => {
    canvas.setPointerCapture(event.pointerId);
    pointers.set(event.pointerId, [event.clientX, event.clientY]);
    canvas.classList.add('dragging');
  });
  canvas.addEventListener('pointermove', (event) => {
    if (!pointers.has(event.pointerId)) return;
    const before = pointers.get(event.pointerId);
    pointers.set(event.pointerId, [event.clientX, event.clientY]);
    if (pointers.size === 1) {
      view.cx -= (event.clientX - before[0]) / view.scale;
      view.cy += (event.clientY - before[1]) / view.scale;
      fitted = true;
      keepInUrl();
      redraw();
    } else if (pointers.size === 2) {
      const [a, b] = [...pointers.values()];
      const distance = Math.hypot(a[0] - b[0], a[1] - b[1]);
      const r = canvas.getBoundingClientRect();
      if (pinch) zoomAbout((a[0] + b[0]) / 2 - r.left, (a[1] + b[1]) / 2 - r.top, distance / pinch);
      pinch = distance;
    }
  });
  const release = (event) => {
    pointers.delete(event.pointerId);
    pinch = null;
    if (!pointers.size) canvas.classList.remove('dragging');
  };
  canvas.addEventListener('pointerup', release);
  canvas.addEventListener('pointercancel', release);
  document.getElementById('fit-button').addEventListener('click', () => { fitted = fit() || fitted; });
  new ResizeObserver(redraw).observe(canvas);

  connect();
  redraw();
})();
