// The board page: builds itself from the server's labels, then follows the
// server's stream of readings; outputs go back as small POSTs.
"use strict";
(() => {
  const token = new URLSearchParams(location.search).get("token") || "";
  const WINDOW_S = 60;
  const MOST_ROWS = 200000;     // about 8 hours of rounds; then recording stops
  const STALE_MS = 4000;        // the server sends a round at least every second or so
  const QUIET_AFTER_INPUT_MS = 1500;
  const $ = (id) => document.getElementById(id);
  const withToken = (path) => `${path}?token=${encodeURIComponent(token)}`;

  // What the tests and the benchmark read: counts and the lamps' changes.
  const page = window.boardPage = {
    rounds: 0, readings: 0, lampChanges: [], last: null,
  };
  let info = null;
  let history = [];             // rounds of the last minute
  let rows = [];                // the recording
  let recording = false, recordStart = 0;
  let lastRoundAt = 0, drawing = false;
  const analog = [], lamps = [], pwm = [], switches = [];

  function setStatus(state, text) {
    const line = $("status");
    line.dataset.state = state;
    if (line.textContent !== text) line.textContent = text;
  }

  function label(kind, channel, fallback) {
    return (info.labels[kind] && info.labels[kind][channel]) || `${fallback} ${channel}`;
  }

  // What the board holds, as the library knows it (all off after a restart).
  function held(kind, value) {
    return kind === "sb" ? `the board holds it ${value ? "on" : "off"}` : `the board holds ${value}`;
  }

  function fromTemplate(id) {
    return $(id).content.firstElementChild.cloneNode(true);
  }

  function volts(value, digits = 3) {
    return value === null || value === undefined ? "—" : `${value.toFixed(digits)} V`;
  }

  // Outputs: at most one request per output in flight; the last value the
  // user chose goes when it returns, so a dragged slider never queues up.
  function sender(kind, channel, shown) {
    const output = { kind, channel, pending: null, busy: false, touched: 0 };
    output.send = (value) => {
      output.pending = value;
      output.touched = performance.now();
      if (!output.busy) flush();
    };
    async function flush() {
      output.busy = true;
      const value = output.pending;
      output.pending = null;
      try {
        const response = await fetch("/api/output", {
          method: "POST",
          headers: { "Content-Type": "application/json", "X-Board-Token": token },
          body: JSON.stringify({ kind, channel, value }),
        });
        const body = await response.json().catch(() => ({}));
        if (response.ok) shown(body.readback, "");
        else shown(null, body.error || `refused (${response.status})`);
      } catch (error) {
        shown(null, "the server does not answer");
      }
      output.busy = false;
      if (output.pending !== null) flush();
    }
    output.quiet = () => !output.busy && output.pending === null &&
      performance.now() - output.touched > QUIET_AFTER_INPUT_MS;
    return output;
  }

  function build() {
    for (let c = 0; c < info.labels.analog.length; c++) {
      const card = fromTemplate("analog-card");
      const name = label("analog", c, "Analog input");
      card.querySelector(".label").textContent = name;
      card.querySelector("canvas").setAttribute("aria-label", `${name}: the last minute`);
      card.dataset.channel = c;
      $("analog").append(card);
      analog.push({ volts: card.querySelector(".volts"), raw: card.querySelector(".raw"),
                    canvas: card.querySelector("canvas") });
    }
    for (let c = 0; c < info.labels.digital_in.length; c++) {
      const lamp = document.createElement("div");
      lamp.className = "card lamp";
      lamp.dataset.channel = c;
      lamp.dataset.level = "unknown";
      lamp.setAttribute("role", "img");
      lamp.innerHTML = '<i></i><span class="label"></span><span class="level">?</span>';
      lamp.querySelector(".label").textContent = label("digital_in", c, "Digital input");
      $("digital").append(lamp);
      lamps.push(lamp);
    }
    for (let c = 0; c < info.labels.pwm.length; c++) {
      const card = fromTemplate("pwm-card");
      card.dataset.channel = c;
      const slider = card.querySelector("input");
      slider.max = info.pwm_highest;
      card.querySelector(".label").textContent = label("pwm", c, "PWM output");
      const readback = card.querySelector(".readback");
      const output = sender("sa", c, (value, error) => {
        readback.textContent = error || held("sa", value);
        readback.classList.toggle("failed", Boolean(error));
      });
      const show = () => {
        card.querySelector(".value").textContent = slider.value;
        card.querySelector(".volts").textContent =
          volts(slider.value * info.full_scale_v / info.pwm_highest, 2);
      };
      slider.addEventListener("input", () => { show(); output.send(Number(slider.value)); });
      $("pwm").append(card);
      pwm.push({ slider, readback, output, show });
    }
    for (let c = 0; c < info.labels.digital_out.length; c++) {
      const card = fromTemplate("switch-card");
      card.dataset.channel = c;
      const box = card.querySelector("input");
      card.querySelector(".label").textContent = label("digital_out", c, "Digital output");
      const readback = card.querySelector(".readback");
      const output = sender("sb", c, (value, error) => {
        readback.textContent = error || held("sb", value);
        readback.classList.toggle("failed", Boolean(error));
      });
      box.addEventListener("change", () => output.send(box.checked ? 1 : 0));
      $("switches").append(card);
      switches.push({ box, readback, output });
    }
    $("record").addEventListener("click", toggleRecording);
    $("download").addEventListener("click", download);
    window.addEventListener("resize", scheduleDraw);
  }

  function describe(round) {
    const port = round.port || info.port || "the board";
    switch (round.state) {
      case "answers":
        return `${port}: the board answers, ${round.rate.toFixed(1)} readings/s` +
               (round.pages > 1 ? ` (${round.pages} pages open)` : "");
      case "silent":
        return `${port}: no answer from the board (${round.problem}): ` +
               "is it plugged in, with its sketch? (readings are not shown)";
      case "garbled":
        return `${port}: the board answers something that is not a reading (${round.problem}): ` +
               "is it running the board's sketch? (those readings are not shown)";
      case "missing":
        return round.problem.startsWith(port) ? round.problem : `${port}: ${round.problem}`;
      default:
        return `The server's sampler failed: ${round.error || round.state}`;
    }
  }

  function show(round) {
    page.rounds += 1;
    page.last = round;
    lastRoundAt = performance.now();
    setStatus(round.state, describe(round));
    const restart = $("restart");
    restart.hidden = !round.restarted_at;
    if (round.restarted_at) {
      const text = `The board restarted at ${new Date(round.restarted_at).toLocaleTimeString()}: ` +
                   "every output went off then.";
      if (restart.textContent !== text) restart.textContent = text;
    }
    const ea = round.ea || [], ead = round.ead || [], eb = round.eb || [];
    analog.forEach((a, c) => {
      a.volts.textContent = volts(ead[c] ?? null);
      a.raw.textContent = ea[c] === null || ea[c] === undefined ? "" : `raw ${ea[c]}`;
      if (ea[c] !== null && ea[c] !== undefined) page.readings += 1;
    });
    lamps.forEach((lamp, c) => {
      const known = eb[c] === 0 || eb[c] === 1;
      const level = known ? String(eb[c]) : "unknown";
      if (known) page.readings += 1;
      if (lamp.dataset.level !== level) {
        lamp.dataset.level = level;
        lamp.querySelector(".level").textContent = known ? (eb[c] ? "on" : "off") : "?";
        lamp.setAttribute("aria-label", `${lamp.querySelector(".label").textContent}: ` +
                                        (known ? (eb[c] ? "on" : "off") : "not known"));
        page.lampChanges.push({ channel: c, level, at: performance.timeOrigin + performance.now() });
        if (page.lampChanges.length > 1000) page.lampChanges.shift();
      }
    });
    (round.rsa || []).forEach((value, c) => {
      const p = pwm[c];
      if (!p || value === null || !p.output.quiet()) return;
      if (Number(p.slider.value) !== value) { p.slider.value = value; p.show(); }
      p.readback.textContent = held("sa", value);
      p.readback.classList.remove("failed");
    });
    (round.rsb || []).forEach((value, c) => {
      const s = switches[c];
      if (!s || value === null || !s.output.quiet()) return;
      s.box.checked = value === 1;
      s.readback.textContent = held("sb", value);
      s.readback.classList.remove("failed");
    });
    history.push(round);
    while (history.length && history[0].t < round.t - WINDOW_S) history.shift();
    if (recording) record(round);
    scheduleDraw();
  }

  function scheduleDraw() {
    if (drawing) return;
    drawing = true;
    requestAnimationFrame(() => { drawing = false; draw(); });
  }

  function draw() {
    if (!history.length) return;
    const end = history[history.length - 1].t, start = end - WINDOW_S;
    const full = info.full_scale_v;
    const ratio = window.devicePixelRatio || 1;
    analog.forEach((a, c) => {
      const canvas = a.canvas;
      const width = Math.max(1, Math.round(canvas.clientWidth * ratio));
      const height = Math.max(1, Math.round(canvas.clientHeight * ratio));
      if (canvas.width !== width || canvas.height !== height) { canvas.width = width; canvas.height = height; }
      const g = canvas.getContext("2d");
      g.clearRect(0, 0, width, height);
      g.strokeStyle = "#d5d9df"; g.fillStyle = "#5b6470"; g.lineWidth = ratio;
      g.font = `${10 * ratio}px system-ui, sans-serif`;
      for (const v of [0, full / 2, full]) {
        const y = height - 1 - (v / full) * (height - 2);
        g.beginPath(); g.moveTo(0, y); g.lineTo(width, y); g.stroke();
        g.fillText(`${v.toFixed(1)} V`, 2, Math.min(height - 2, Math.max(10 * ratio, y - 2)));
      }
      g.strokeStyle = "#0a66c2"; g.lineWidth = 2 * ratio;
      g.beginPath();
      let drawingLine = false;
      for (const round of history) {
        const value = round.ead ? round.ead[c] : null;
        if (value === null || value === undefined) { drawingLine = false; continue; }
        const x = ((round.t - start) / WINDOW_S) * width;
        const y = height - 1 - (Math.min(Math.max(value, 0), full) / full) * (height - 2);
        if (drawingLine) g.lineTo(x, y); else g.moveTo(x, y);
        drawingLine = true;
      }
      g.stroke();
    });
  }

  // Recording: the server's time of each round, one column per input, the
  // command line's record format; a reading the board did not give is empty.
  function csvHeader() {
    const names = [];
    for (let c = 0; c < analog.length; c++) names.push(`ea ${c}`);
    for (let c = 0; c < lamps.length; c++) names.push(`eb ${c}`);
    return `time_s,${names.join(",")}\n`;
  }

  function record(round) {
    if (!rows.length) recordStart = round.t;
    const cell = (v) => (v === null || v === undefined ? "" : String(v));
    const ea = round.ea || [], eb = round.eb || [];
    rows.push(`${(round.t - recordStart).toFixed(3)},` +
              analog.map((_, c) => cell(ea[c])).concat(lamps.map((_, c) => cell(eb[c]))).join(","));
    if (rows.length >= MOST_ROWS) toggleRecording();
    else if (rows.length % 10 === 1) $("record-state").textContent = `Recording: ${rows.length} rounds.`;
  }

  function toggleRecording() {
    recording = !recording;
    const button = $("record");
    button.setAttribute("aria-pressed", String(recording));
    button.textContent = recording ? "Stop recording" : "Start recording";
    if (recording) {
      rows = [];
      $("download").disabled = true;
      $("record-state").textContent = "Recording…";
    } else {
      $("download").disabled = rows.length === 0;
      $("record-state").textContent = `Recorded ${rows.length} rounds` +
        (rows.length >= MOST_ROWS ? " (the most a recording keeps)." : ".");
    }
  }

  page.csv = () => csvHeader() + rows.map((row) => `${row}\n`).join("");

  function download() {
    const blob = new Blob([page.csv()], { type: "text/csv" });
    const link = document.createElement("a");
    link.href = URL.createObjectURL(blob);
    link.download = `board-${new Date().toISOString().slice(0, 19).replace(/[:T]/g, "-")}.csv`;
    document.body.append(link);
    link.click();
    link.remove();
    setTimeout(() => URL.revokeObjectURL(link.href), 10000);
  }

  function connect() {
    const events = new EventSource(withToken("/api/events"));
    events.onmessage = (event) => show(JSON.parse(event.data));
    events.onerror = () => {
      if (events.readyState === EventSource.CLOSED) {
        setStatus("lost", "The server refused the stream of readings: reload the page by its printed address.");
      } else {
        setStatus("lost", "The connection to the server is lost; trying again… (is serve still running?)");
      }
    };
    setInterval(() => {
      if (lastRoundAt && performance.now() - lastRoundAt > STALE_MS && $("status").dataset.state !== "lost") {
        setStatus("lost", `No readings for ${Math.round((performance.now() - lastRoundAt) / 1000)} s.`);
      }
    }, 1000);
  }

  async function start() {
    let response;
    try {
      response = await fetch(withToken("/api/board"));
    } catch (error) {
      setStatus("lost", "The server does not answer: is python3 -m arduinodrv serve running? Trying again…");
      setTimeout(start, 2000);
      return;
    }
    const body = await response.json().catch(() => ({}));
    if (!response.ok) {
      setStatus("error", body.error || `The server refused the page (${response.status}).`);
      return;
    }
    info = body;
    build();
    setStatus("loading", `${info.port || "The board"}: waiting for the first readings…`);
    connect();
  }

  start();
})();
