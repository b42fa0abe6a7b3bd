// A plain Node.js relay of Claude Code's output, written the way a Node developer would
// write it with the built-ins alone: the baseline bench/run measures pavix-bridge against.
// It does the relay's part of the service's job: POST /v1/runs starts Claude Code with the
// service's arguments, each output line is parsed, text deltas and the final result become
// events, and every subscriber of GET /v1/runs/<id>/events gets the run's log, then the
// live events, as server-sent events. GET /health answers without the key. Approvals are
// not part of it (the agent is named an approval tool, as the service does, but this file
// serves none).
//
// Usage: node relay.js <port> <key> <claude executable>
'use strict';

const http = require('node:http');
const { spawn, execFileSync } = require('node:child_process');
const readline = require('node:readline');
const crypto = require('node:crypto');
const fs = require('node:fs');
const os = require('node:os');
const path = require('node:path');

const [port, key, claude] = process.argv.slice(2);
const runs = new Map();

function claudeVersion() {
  try {
    return execFileSync(claude, ['--version'], { encoding: 'utf8', timeout: 10000 }).split(' ')[0].trim();
  } catch {
    return null;
  }
}
const version = claudeVersion();

function signedIn() {
  const folder = process.env.CLAUDE_CONFIG_DIR || path.join(os.homedir(), '.claude');
  try {
    return fs.statSync(path.join(folder, '.credentials.json')).isFile();
  } catch {
    return false;
  }
}

function sendJSON(res, status, body) {
  const text = JSON.stringify(body);
  res.writeHead(status, {
    'Content-Type': 'application/json',
    'Content-Length': Buffer.byteLength(text),
    Connection: 'close',
  });
  res.end(text);
}

function authorized(req) {
  const header = req.headers.authorization || '';
  const token = Buffer.from(header.startsWith('Bearer ') ? header.slice(7).trim() : '');
  const expected = Buffer.from(key);
  return token.length === expected.length && crypto.timingSafeEqual(token, expected);
}

function readBody(req) {
  return new Promise((resolve, reject) => {
    const chunks = [];
    req.on('data', (chunk) => chunks.push(chunk));
    req.on('end', () => resolve(Buffer.concat(chunks).toString('utf8')));
    req.on('error', reject);
  });
}

function emit(run, event) {
  const text = JSON.stringify(event);
  run.log.push(text);
  for (const res of run.subscribers) res.write('data: ' + text + '\n\n');
}

function finish(run, status, event) {
  if (run.status !== 'running') return;
  run.status = status;
  emit(run, event);
  for (const res of run.subscribers) res.end();
  run.subscribers.clear();
}

// The environment without Claude Code's own settings and the API's, as the service passes it.
function agentEnvironment() {
  const env = {};
  for (const [name, value] of Object.entries(process.env))
    if (!name.startsWith('CLAUDE') && !name.startsWith('ANTHROPIC_')) env[name] = value;
  return env;
}

function handleLine(run, line) {
  let message;
  try {
    message = JSON.parse(line);
  } catch {
    return;
  }
  if (message.type === 'stream_event') {
    const event = message.event;
    if (event?.type !== 'content_block_delta' || event.delta?.type !== 'text_delta') return;
    run.output += event.delta.text;
    emit(run, { event: 'message.delta', delta: event.delta.text });
  } else if (message.type === 'result') {
    if (message.is_error || message.subtype !== 'success')
      finish(run, 'failed', { event: 'run.failed', error: message.result || 'Claude Code stopped with an error.' });
    else {
      if (message.result) run.output = message.result;
      finish(run, 'completed', { event: 'run.completed', output: message.result ?? '', session_id: message.session_id ?? '' });
    }
    run.child.stdin.end();
  }
}

function startRun(prompt) {
  const id = 'run_' + crypto.randomBytes(10).toString('hex');
  const mcpConfig = JSON.stringify({
    mcpServers: { pavix: { command: process.execPath, args: [__filename, 'mcp', '--port', String(port), '--run', id] } },
  });
  const child = spawn(claude, [
    '-p', '--input-format', 'stream-json', '--output-format', 'stream-json', '--verbose',
    '--include-partial-messages', '--permission-prompt-tool', 'mcp__pavix__approve',
    '--mcp-config', mcpConfig, '--setting-sources', 'project,local',
  ], { env: agentEnvironment(), stdio: ['pipe', 'pipe', 'pipe'] });
  const run = { id, status: 'running', output: '', log: [], subscribers: new Set(), child };
  runs.set(id, run);

  child.on('error', () => finish(run, 'failed', { event: 'run.failed', error: "Couldn't start Claude Code." }));
  child.stdin.on('error', () => {});
  child.stderr.resume();
  readline.createInterface({ input: child.stdout, crlfDelay: Infinity })
    .on('line', (line) => handleLine(run, line));
  child.on('close', (code) =>
    finish(run, 'failed', { event: 'run.failed', error: `Claude Code exited (${code}).` }));
  const message = { type: 'user', message: { role: 'user', content: [{ type: 'text', text: prompt }] } };
  child.stdin.write(JSON.stringify(message) + '\n');
  return run;
}

function follow(req, res, run) {
  res.writeHead(200, { 'Content-Type': 'text/event-stream', 'Cache-Control': 'no-cache', Connection: 'close' });
  res.flushHeaders();
  for (const text of run.log) res.write('data: ' + text + '\n\n');
  if (run.status !== 'running') return res.end();
  run.subscribers.add(res);
  req.on('close', () => run.subscribers.delete(res));
}

async function handle(req, res) {
  const url = new URL(req.url, 'http://localhost');
  if (req.method === 'GET' && url.pathname === '/health')
    return sendJSON(res, 200, { status: 'ok', name: 'pavix-bridge', claude_code: version, signed_in: signedIn() });
  if (!authorized(req)) return sendJSON(res, 401, { error: 'unauthorized' });
  if (req.method === 'POST' && url.pathname === '/v1/runs') {
    let body;
    try {
      body = JSON.parse(await readBody(req));
    } catch {
      body = {};
    }
    const input = typeof body?.input === 'string' ? body.input.trim() : '';
    if (!input) return sendJSON(res, 400, { error: 'input is required' });
    const run = startRun(input);
    return sendJSON(res, 202, { run_id: run.id, status: 'running' });
  }
  const match = /^\/v1\/runs\/([^/]+)(\/events)?$/.exec(url.pathname);
  const run = match && runs.get(match[1]);
  if (req.method === 'GET' && run && match[2]) return follow(req, res, run);
  if (req.method === 'GET' && run) return sendJSON(res, 200, { run_id: run.id, status: run.status, output: run.output });
  if (req.method === 'GET' && match) return sendJSON(res, 404, { error: 'no such run' });
  sendJSON(res, 404, { error: 'not found' });
}

http.createServer((req, res) => {
  handle(req, res).catch(() => sendJSON(res, 500, { error: 'internal error' }));
}).listen(Number(port), '0.0.0.0');
