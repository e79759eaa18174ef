"use strict";
// The spreadsheet add-in in its smallest form: it connects to the server as its workbook, hands
// over the workbook's module and published function when asked, and once the workbook's kernel
// is there calls the function the way cells do: one call, then a recalculation of 50 cells.
// It reconnects whenever the connection drops, and runs the same session on every kernel.
//
// Query: ?server=PORT&workbook=ID&name=DISPLAY NAME

const params = new URLSearchParams(location.search);
const SERVER = "127.0.0.1:" + params.get("server");
const WORKBOOK = params.get("workbook") || "browser-book";
const NAME = params.get("name") || "Browser Book";
const MODULE_NAME = "calc";

// A module big enough to leave the browser in several frames, with characters of every UTF-8
// length; the kernel hands BLOB back whole, so it travels both ways.
const BLOB = "\u00e9\u20ac\ud83d\ude00 ".repeat(100000);
const MODULE = [
  "import os",
  "",
  "BLOB = '" + BLOB + "'",
  "",
  "def hypot(x, y):",
  "    return (x * x + y * y) ** 0.5",
  "",
  "def kernel_pid():",
  "    return os.getpid()",
  "",
  "def blob():",
  "    return BLOB",
  "",
].join("\n");
const PUBLISHED = [{ module: MODULE_NAME, function: "hypot", excel_name: "CALC.HYPOT" }];

const report = { attempts: 0, opened: 0, closes: [], registered: [], sessions: [], errors: [] };
const pending = new Map();  // request id -> {resolve, timer}
const counts = { single: 0, batch_results: 0 };
let socket = null;
let nextId = 0;

function show(status) {
  document.getElementById("status").textContent = status;
  document.getElementById("report").textContent = JSON.stringify(report, null, 1);
}

function connect() {
  report.attempts += 1;
  const url = "ws://" + SERVER + "/ws/addin/" + encodeURIComponent(WORKBOOK) + "?name=" + encodeURIComponent(NAME);
  const ws = new WebSocket(url);
  socket = ws;
  let connection = 0;
  ws.onopen = () => {
    report.opened += 1;
    connection = report.opened;
    show("connected");
  };
  ws.onmessage = (event) => receive(ws, connection, JSON.parse(event.data));
  ws.onclose = (event) => {
    if (connection) report.closes.push(event.code);
    if (socket === ws) socket = null;
    for (const [id, call] of pending) {
      clearTimeout(call.timer);
      call.reject(new Error("connection lost before the answer to " + id));
    }
    pending.clear();
    show("disconnected (" + event.code + "), reconnecting");
    setTimeout(connect, 200);
  };
}

function reply(ws, request, type, body) {
  ws.send(JSON.stringify(Object.assign({ type: type, request_id: request.request_id }, body)));
}

function settle(result) {
  const call = pending.get(result.request_id);
  if (!call) return;
  pending.delete(result.request_id);
  clearTimeout(call.timer);
  call.resolve(result);
}

function receive(ws, connection, message) {
  switch (message.type) {
    case "get_modules_request":
      reply(ws, message, "get_modules_response", { modules: { [MODULE_NAME]: MODULE } });
      break;
    case "get_functions_request":
      reply(ws, message, "get_functions_response", { functions: PUBLISHED });
      break;
    case "get_packages_request":
      reply(ws, message, "get_packages_response", { packages: [], python_paths: [] });
      break;
    case "get_events_request":
      reply(ws, message, "get_events_response",
            { events_registered: {}, com_events_registered: {}, events_definition: {}, events_tree: {} });
      break;
    case "sync_custom_functions":
      // Sent each time the workbook's kernel connects: the functions can be called now.
      report.registered.push(message.functions);
      runSession(connection).catch((error) => {
        report.errors.push(String(error));
        show("session failed");
      });
      break;
    case "function_execution_result":
      counts.single += 1;
      settle(message);
      break;
    case "batch_results":
      counts.batch_results += 1;
      message.results.forEach(settle);
      break;
  }
}

function call(functionName, args, timeout) {
  return new Promise((resolve, reject) => {
    if (!socket || socket.readyState !== WebSocket.OPEN) {
      reject(new Error("not connected"));
      return;
    }
    const id = WORKBOOK + "-" + (++nextId);
    const timer = setTimeout(() => {
      pending.delete(id);
      reject(new Error("no answer to " + id));
    }, timeout || 20000);
    pending.set(id, { resolve: resolve, reject: reject, timer: timer });
    socket.send(JSON.stringify({ type: "function_execution", request_id: id, module_name: MODULE_NAME,
                                 function_name: functionName, args: args }));
  });
}

async function runSession(connection) {
  const session = { connection: connection };
  show("calling");
  const first = await call("hypot", [3, 4]);
  session.single = { status: first.status, result: first.result };
  session.kernel_pid = (await call("kernel_pid", [])).result;
  const blob = await call("blob", []);
  session.blob_intact = blob.result === BLOB;

  const before = Object.assign({}, counts);
  const cells = [];
  for (let i = 0; i < 50; i++) cells.push(call("hypot", [i, 1]));
  const results = await Promise.all(cells);
  session.burst = results.map((r) => r.result);
  session.burst_statuses = Array.from(new Set(results.map((r) => r.status)));
  session.burst_messages = { single: counts.single - before.single,
                             batch_results: counts.batch_results - before.batch_results };
  report.sessions.push(session);
  show("session " + report.sessions.length + " done");
}

connect();
