// The board page: builds itself from the server's labels, then follows the
// server's stream of readings; outputs and the pace go back as small POSTs.
// The plot is uPlot's (shipped beside the page); without it the readings
// still show as numbers.
"use strict";
(() => {
  const token = new URLSearchParams(location.search).get("token") || "";
  const KEPT_S = 3600;          // the plot looks back this far at most
  const MOST_POINTS = 200000;   // and keeps at most this many points (a stream's 1 kHz)
  const MOST_ROWS = 200000;     // rows a recording keeps; then it stops
  const STALE_MS = 4000;        // the server sends a round at least every second or so
  const QUIET_AFTER_INPUT_MS = 1500;
  const $ = (id) => document.getElementById(id);
  const withToken = (path) => `${path}?token=${encodeURIComponent(token)}`;

  // What the tests and the benchmark read: counts, the lamps' changes, and
  // the plot's last point with the time it was drawn.
  const page = window.boardPage = {
    rounds: 0, readings: 0, samples: 0, lampChanges: [], last: null, drawn: null, plot: null,
  };
  let info = null;
  const series = { x: [], analog: [] };   // the plot's data: seconds since 1970, volts
  let rows = [];                // the recording
  let recording = false, recordStart = 0;
  let lastRoundAt = 0, drawing = false;
  let paused = false, zoomed = null, windowS = 60, autoscale = true;   // zoomed: {min, max} in s
  let plot = null;
  const analog = [], lamps = [], pwm = [], switches = [];

  function setStatus(state, text) {
    const line = $("status");
    line.dataset.state = state;
    // Only a change of the board's state is announced, not each round.
    if ($("state-text").textContent !== text) $("state-text").textContent = text;
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

  function color(channel) {
    return getComputedStyle(document.documentElement).getPropertyValue(`--series-${channel}`).trim() || "#0a66c2";
  }

  // Local time, ISO 8601 with the offset: 2026-12-10T14:02:11.140+01:00.
  function isoLocal(ms) {
    const d = new Date(ms);
    const pad = (n, w = 2) => String(Math.trunc(Math.abs(n))).padStart(w, "0");
    const offset = -d.getTimezoneOffset();
    return `${d.getFullYear()}-${pad(d.getMonth() + 1)}-${pad(d.getDate())}T${pad(d.getHours())}:` +
      `${pad(d.getMinutes())}:${pad(d.getSeconds())}.${pad(d.getMilliseconds(), 3)}` +
      `${offset < 0 ? "-" : "+"}${pad(offset / 60)}:${pad(offset % 60)}`;
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
        const response = await post("/api/output", { kind, channel, value });
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

  function post(path, body) {
    return fetch(path, {
      method: "POST",
      headers: { "Content-Type": "application/json", "X-Board-Token": token },
      body: JSON.stringify(body),
    });
  }

  // The plot.

  function makePlot() {
    if (typeof uPlot === "undefined") {
      const missing = $("chart-missing");
      missing.hidden = false;
      missing.textContent = "The chart library (uPlot) is not installed with this server, so there is no " +
        "plot: the readings show as numbers below. scripts/setup.sh installs it.";
      document.querySelectorAll(".toolbar button, #autoscale, #window").forEach((e) => { e.disabled = true; });
      return;
    }
    const styles = getComputedStyle(document.documentElement);
    const ink = styles.getPropertyValue("--muted").trim(), grid = styles.getPropertyValue("--line").trim();
    const full = info.full_scale_v;
    const options = {
      width: plotWidth(), height: 260,
      scales: {
        x: { time: true, range: (u, min, max) => (zoomed ? [zoomed.min, zoomed.max] : [max - windowS, max]) },
        y: { range: (u, min, max) => {
          if (!autoscale || min === null || max === null) return [0, full];
          const span = Math.max(max - min, 0.01);  // 0.01 V: a flat line still shows its noise
          return [min - span * 0.1, max + span * 0.1];
        } },
      },
      series: [{ label: "Time" }].concat(analog.map((a, c) => ({
        label: `A${c}`, stroke: color(c), width: 1.5, show: a.box.checked, spanGaps: false,
        value: (u, v) => (v === null || v === undefined ? "—" : `${v.toFixed(3)} V`),
      }))),
      axes: [
        { stroke: ink, grid: { stroke: grid }, ticks: { stroke: grid } },
        { stroke: ink, grid: { stroke: grid }, ticks: { stroke: grid }, size: 56,
          values: (u, ticks) => ticks.map((v) => `${v.toFixed(ticks.length && Math.abs(ticks[1] - ticks[0]) < 0.1 ? 3 : 2)} V`) },
      ],
      cursor: { drag: { x: true, y: false, setScale: false } },
      legend: { live: true },
      hooks: {
        setSelect: [(u) => {
          if (u.select.width > 2) {   // a drag across the plot: that moment, held still
            zoomTo(u.posToVal(u.select.left, "x"), u.posToVal(u.select.left + u.select.width, "x"));
            u.setSelect({ left: 0, top: 0, width: 0, height: 0 }, false);
          }
        }],
      },
    };
    plot = new uPlot(options, plotData(), $("plot"));
    page.plot = plot;
    new ResizeObserver(() => plot.setSize({ width: plotWidth(), height: 260 })).observe($("plot"));
  }

  function plotWidth() {
    return Math.max(200, $("plot").clientWidth);
  }

  function plotData() {
    return [series.x].concat(series.analog);
  }

  function addPoint(seconds, values) {
    series.x.push(seconds);
    for (let c = 0; c < analog.length; c++) series.analog[c].push(values[c] ?? null);
  }

  // Points older than KEPT_S, or beyond MOST_POINTS, go (in batches: cheap).
  function trim() {
    const end = series.x[series.x.length - 1];
    let drop = 0;
    while (drop < series.x.length && series.x[drop] < end - KEPT_S) drop++;
    drop = Math.max(drop, series.x.length - MOST_POINTS);
    if (drop > 1000 || (drop > 0 && series.x.length > MOST_POINTS)) {
      series.x.splice(0, drop);
      series.analog.forEach((s) => s.splice(0, drop));
    }
  }

  function scheduleDraw() {
    if (drawing || paused || !plot) return;
    drawing = true;
    requestAnimationFrame(() => {
      drawing = false;
      if (paused) return;
      plot.setData(plotData(), true);
      page.drawn = { x: series.x[series.x.length - 1], at: performance.timeOrigin + performance.now() };
    });
  }

  function setPaused(value) {
    paused = value;
    const button = $("pause");
    button.setAttribute("aria-pressed", String(paused));
    button.textContent = paused ? "Resume" : "Pause";
    if (!paused) scheduleDraw();
  }

  function zoomTo(min, max) {
    zoomed = { min, max };
    setPaused(true);
    plot.setScale("x", zoomed);
  }

  // From the keyboard: the live view's end stays at the right, a zoomed
  // view keeps its middle.
  function zoomBy(factor) {
    if (!plot || plot.scales.x.min === null) return;
    const min = plot.scales.x.min, max = plot.scales.x.max;
    const span = Math.min(KEPT_S, Math.max(0.05, (max - min) * factor));
    const right = zoomed ? (min + max) / 2 + span / 2 : max;
    zoomTo(right - span, right);
  }

  function backToLive() {
    zoomed = null;
    setPaused(false);
    if (plot) plot.setData(plotData(), true);
  }

  function showAlone(channel) {
    analog.forEach((a, c) => { a.box.checked = c === channel; showSeries(c); });
  }

  function showSeries(channel) {
    if (plot) plot.setSeries(channel + 1, { show: analog[channel].box.checked });
  }

  // The page.

  function build() {
    for (let c = 0; c < info.labels.analog.length; c++) {
      const card = fromTemplate("analog-card");
      const name = label("analog", c, "Analog input");
      card.querySelector(".label").textContent = name;
      card.querySelector(".swatch").style.background = color(c);
      card.dataset.channel = c;
      const box = card.querySelector("input");
      box.addEventListener("change", () => showSeries(c));
      const alone = card.querySelector(".alone");
      alone.setAttribute("aria-label", `Plot ${name} alone`);
      alone.addEventListener("click", () => showAlone(c));
      $("analog").append(card);
      analog.push({ volts: card.querySelector(".volts"), raw: card.querySelector(".raw"), box });
      series.analog.push([]);
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
    buildPace();
    $("record").addEventListener("click", toggleRecording);
    $("download").addEventListener("click", download);
    $("pause").addEventListener("click", () => setPaused(!paused));
    $("zoom-in").addEventListener("click", () => zoomBy(0.5));
    $("zoom-out").addEventListener("click", () => zoomBy(2));
    $("zoom-reset").addEventListener("click", backToLive);
    $("autoscale").addEventListener("change", (e) => {
      autoscale = e.target.checked;
      if (plot) plot.setData(plotData(), true);
    });
    $("window").addEventListener("change", (e) => { windowS = Number(e.target.value); backToLive(); });
    makePlot();
  }

  function buildPace() {
    const select = $("pace");
    for (const ms of info.intervals_ms) {
      const option = new Option(ms === 0 ? "as fast as the board answers" :
                                ms < 1000 ? `every ${ms} ms` : `every ${ms / 1000} s`, `interval_ms:${ms}`);
      select.append(option);
    }
    const streams = document.createElement("optgroup");
    streams.label = "Timed by the board (the project's sketch)";
    streams.hidden = true;
    for (const hz of info.stream_rates_hz) {
      streams.append(new Option(hz >= 1000 ? `stream at ${hz / 1000} kHz` : `stream at ${hz} Hz`,
                                `stream_hz:${hz}`));
    }
    select.append(streams);
    select.addEventListener("change", async () => {
      const [key, value] = select.value.split(":");
      const response = await post("/api/pace", { [key]: Number(value) }).catch(() => null);
      if (!response || !response.ok) setStatus("error", "The server did not take the new pace.");
    });
  }

  function describe(round) {
    const port = round.port || info.port || "the board";
    switch (round.state) {
      case "answers":
        return `${port}: the board answers` + (round.stream_hz ? `, streaming at ${round.stream_hz} Hz` : "");
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

  function showPace(round) {
    const select = $("pace");
    if (select.querySelector("optgroup")) select.querySelector("optgroup").hidden = !(round.sketch > 0);
    const value = round.stream_hz ? `stream_hz:${round.stream_hz}` : `interval_ms:${round.interval_ms || 0}`;
    if (document.activeElement !== select && select.value !== value) select.value = value;
    const rate = round.state === "answers" || round.state === "garbled" ?
      (round.stream_hz ? `${round.rate.toFixed(0)} samples/s` : `${round.rate.toFixed(1)} rounds/s`) : "";
    const text = rate + (round.pages > 1 ? ` (${round.pages} pages open)` : "") +
      (round.stream_problem ? ` — ${round.stream_problem}` : "");
    if ($("rate").textContent !== text) $("rate").textContent = text;
  }

  function show(round) {
    page.rounds += 1;
    page.last = round;
    lastRoundAt = performance.now();
    setStatus(round.state, describe(round));
    showPace(round);
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
    if (round.stream) {
      // A stream's samples, each at its own time: [ms, 6 volts, 4 levels].
      for (const sample of round.stream) {
        addPoint(sample[0] / 1000, sample.slice(1, 1 + analog.length));
        page.samples += 1;
        if (recording) record(sample[0], sample.slice(1, 1 + analog.length), sample.slice(1 + analog.length));
      }
    } else if (round.time_ms) {
      addPoint(round.time_ms / 1000, ead);
      if (recording) record(round.time_ms, ead, eb);
    }
    if (series.x.length) trim();
    scheduleDraw();
  }

  // Recording: each reading's local time, the seconds since the start, the
  // plotted analog inputs' volts and raw values, the digital inputs; a
  // reading the board did not give is empty.
  let recorded = [];            // the analog channels in this recording

  function csvHeader() {
    const names = ["time", "time_s"];
    for (const c of recorded) names.push(`ead ${c}`, `ea ${c}`);
    for (let c = 0; c < lamps.length; c++) names.push(`eb ${c}`);
    return `${names.join(",")}\n`;
  }

  function record(ms, voltsOf, levels) {
    if (!rows.length) recordStart = ms;
    const cells = [isoLocal(ms), ((ms - recordStart) / 1000).toFixed(3)];
    for (const c of recorded) {
      const v = voltsOf[c];
      const known = v !== null && v !== undefined;
      cells.push(known ? String(v) : "", known ? String(Math.round(v * 1024 / info.full_scale_v)) : "");
    }
    for (let c = 0; c < lamps.length; c++) cells.push(levels[c] === 0 || levels[c] === 1 ? String(levels[c]) : "");
    rows.push(cells.join(","));
    if (rows.length >= MOST_ROWS) toggleRecording();
    else if (rows.length % 10 === 1) $("record-count").textContent = `${rows.length} rows so far`;
  }

  function toggleRecording() {
    recording = !recording;
    const button = $("record");
    button.setAttribute("aria-pressed", String(recording));
    button.textContent = recording ? "Stop recording" : "Start recording";
    $("record-count").textContent = "";
    if (recording) {
      rows = [];
      recorded = analog.map((a, c) => (a.box.checked ? c : -1)).filter((c) => c >= 0);
      $("download").disabled = true;
      $("record-state").textContent = "Recording…";
    } else {
      $("download").disabled = rows.length === 0;
      $("record-state").textContent = `Recorded ${rows.length} rows` +
        (rows.length >= MOST_ROWS ? " (the most a recording keeps)." : ".");
    }
  }

  page.csv = () => csvHeader() + rows.map((row) => `${row}\n`).join("");

  function download() {
    const blob = new Blob([page.csv()], { type: "text/csv" });
    const link = document.createElement("a");
    link.href = URL.createObjectURL(blob);
    // Named by the local time, as the command line's recordings are.
    link.download = `board-${isoLocal(Date.now()).slice(0, 19).replace("T", "_").replace(/:/g, "-")}.csv`;
    document.body.append(link);
    link.click();
    link.remove();
    setTimeout(() => URL.revokeObjectURL(link.href), 10000);
  }

  function connect() {
    const events = new EventSource(withToken("/api/events"));
    events.onmessage = (event) => show(JSON.parse(event.data));
    events.onerror = async () => {
      if (events.readyState !== EventSource.CLOSED) {
        setStatus("lost", "The connection to the server is lost; trying again… (is serve still running?)");
        return;  // the browser tries again by itself
      }
      // Refused: a wrong token stays refused; anything else (too many pages) is tried again.
      const check = await fetch(withToken("/api/board")).catch(() => null);
      if (check && check.status === 403) {
        setStatus("lost", "The server refused the stream of readings: reload the page by its printed address.");
        return;
      }
      setStatus("lost", "The server did not take this page's stream (too many pages open?); trying again…");
      setTimeout(connect, 3000);
    };
  }

  function watchStaleness() {
    setInterval(() => {
      if (lastRoundAt && performance.now() - lastRoundAt > STALE_MS && $("status").dataset.state !== "lost") {
        setStatus("lost", "No readings for a while: is serve still running?");
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
    watchStaleness();
  }

  start();
})();
