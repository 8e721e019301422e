#!/usr/bin/env node
// A small host that does what the desktop host does with the two programs: it runs a capture
// command of norvi-audio-helper and `transcribe` of norvi-apple-engine, decodes every PCM chunk
// record of the helper and writes the bytes to the engine's standard input, stops the capture
// with SIGTERM (on Ctrl-C or after --duration), closes the engine's input once the helper has
// written "stream_ended", and waits for the engine to finish. It prints the transcript for
// people, or the engine's records unchanged with --json.
'use strict';

const { spawn } = require('node:child_process');
const path = require('node:path');
const readline = require('node:readline');

const usage = `Usage: norvi-host.js --language <code> [--target <code>] [--vocabulary <json array>]
                     [--source tap-stream|sck-stream] [--duration <seconds>] [--chunks <count>]
                     [--json] [--stats] [--bin <folder>] [-- <options for the capture command>]`;

function parseArguments(argv) {
  const options = { source: 'tap-stream', json: false, stats: false, captureArguments: [],
                    bin: path.join(__dirname, '..', 'build', 'bin') };
  const valued = { '--language': 'language', '--target': 'target', '--vocabulary': 'vocabulary',
                   '--source': 'source', '--duration': 'duration', '--chunks': 'chunks', '--bin': 'bin' };
  for (let i = 0; i < argv.length; i += 1) {
    const argument = argv[i];
    if (argument === '--') {
      options.captureArguments = argv.slice(i + 1);
      break;
    }
    if (argument === '--json' || argument === '--stats') {
      options[argument.slice(2)] = true;
    } else if (valued[argument] && i + 1 < argv.length) {
      options[valued[argument]] = argv[i += 1];
    } else {
      throw new Error(`unknown or incomplete option ${argument}\n${usage}`);
    }
  }
  if (!options.language) throw new Error(`--language is required\n${usage}`);
  if (!['tap-stream', 'sck-stream'].includes(options.source)) throw new Error(`unknown --source ${options.source}`);
  if (options.duration !== undefined && !(Number(options.duration) > 0)) throw new Error('--duration must be a positive number');
  if (options.chunks !== undefined && !/^[1-9][0-9]*$/.test(options.chunks)) throw new Error('--chunks must be a positive whole number');
  return options;
}

function clock(ms) {
  const minutes = Math.floor(ms / 60000);
  const seconds = ((ms % 60000) / 1000).toFixed(2).padStart(5, '0');
  return `${String(minutes).padStart(2, '0')}:${seconds}`;
}

// Prints the transcript: on a terminal the volatile line is rewritten in place; elsewhere only
// final lines and translations are printed.
class TranscriptPrinter {
  constructor(output, json) {
    this.output = output;
    this.json = json;
    this.live = Boolean(output.isTTY) && !json;
    this.pending = false;
  }

  record(line, record) {
    if (this.json) {
      this.output.write(`${line}\n`);
      return;
    }
    if (record.type === 'line') {
      this.line(record);
    } else if (record.type === 'error') {
      this.clear();
      process.stderr.write(`engine: ${record.message}\n`);
    } else if (record.type === 'model_download') {
      this.clear();
      this.output.write(`(installing the speech model: ${Math.round(record.fraction * 100)}%)\n`);
    } else if (record.type === 'ready') {
      this.output.write(`(listening: ${record.speechLocale}${record.translation ? ', translating' : ''})\n`);
    }
  }

  line(record) {
    if (record.translation !== undefined) {
      if (record.isFinal) {
        this.clear();
        this.output.write(`      -> ${record.translation}\n`);
      } else if (this.live) {
        this.show(`  ${record.text}  -> ${record.translation}`);
      }
      return;
    }
    if (record.isFinal) {
      this.clear();
      this.output.write(`${String(record.id).padStart(3)} [${clock(record.startMs)}-${clock(record.endMs)}] ${record.text}\n`);
    } else if (this.live) {
      this.show(`  ${record.text}`);
    }
  }

  show(text) {
    this.output.write(`\r\x1b[2K${text}`);
    this.pending = true;
  }

  clear() {
    if (this.pending) this.output.write('\r\x1b[2K');
    this.pending = false;
  }
}

// The text a program wrote to standard error, for the failure message; with `passOn` it is
// also written to our own standard error as it arrives (the engine's debug log).
function collect(stream, passOn) {
  const parts = [];
  stream.on('data', (part) => {
    parts.push(part);
    if (passOn) process.stderr.write(part);
  });
  return () => Buffer.concat(parts).toString('utf8').trim();
}

function ending(result) {
  return result.signal ?? `status ${result.code}`;
}

function exited(child) {
  return new Promise((resolve) => child.on('close', (code, signal) => resolve({ code, signal })));
}

async function main() {
  const options = parseArguments(process.argv.slice(2));
  const engineArguments = ['transcribe', '--language', options.language];
  if (options.target) engineArguments.push('--target', options.target);
  if (options.vocabulary) engineArguments.push('--vocabulary', options.vocabulary);
  const engine = spawn(path.join(options.bin, 'norvi-apple-engine'), engineArguments, { stdio: ['pipe', 'pipe', 'pipe'] });
  const helper = spawn(path.join(options.bin, 'norvi-audio-helper'), [options.source, ...options.captureArguments],
                       { stdio: ['ignore', 'pipe', 'pipe'] });
  const engineErrors = collect(engine.stderr, process.env.NORVI_APPLE_ENGINE_DEBUG === '1');
  const helperErrors = collect(helper.stderr);
  const engineDone = exited(engine);
  const helperDone = exited(helper);
  const printer = new TranscriptPrinter(process.stdout, options.json);
  const stats = { chunks: 0, bytes: 0, lines: 0, finals: 0 };

  // The engine may go before its input ends (a failure); what is still written then is lost
  // with it, and the failure is reported below.
  engine.stdin.on('error', () => {});
  readline.createInterface({ input: engine.stdout }).on('line', (line) => {
    let record;
    try {
      record = JSON.parse(line);
    } catch {
      process.stderr.write(`engine wrote a line that is not JSON: ${line}\n`);
      return;
    }
    if (record.type === 'line' && record.translation === undefined) {
      stats.lines += 1;
      if (record.isFinal) stats.finals += 1;
    }
    printer.record(line, record);
  });

  let streamEnded = false;
  let draining = false;
  const helperLines = readline.createInterface({ input: helper.stdout });
  const helperLinesClosed = new Promise((resolve) => helperLines.once('close', resolve));
  // An engine that has gone takes no more input: keep reading the helper to its end.
  engineDone.then(() => helperLines.resume());
  helperLines.on('line', (line) => {
    const record = JSON.parse(line);
    if (record.type === 'pcm_s16le') {
      const pcm = Buffer.from(record.data, 'base64');
      stats.chunks += 1;
      stats.bytes += pcm.length;
      if (options.chunks !== undefined && stats.chunks === Number(options.chunks)) stop();
      // Back-pressure: stop reading the helper while the engine's input is full, so nothing
      // is dropped and nothing piles up here. Lines already read still arrive meanwhile.
      if (!engine.stdin.write(pcm) && !draining) {
        draining = true;
        helperLines.pause();
        engine.stdin.once('drain', () => {
          draining = false;
          helperLines.resume();
        });
      }
    } else if (record.type === 'stream_ended') {
      streamEnded = true;
    } else if (record.type === 'stream_diagnostic' && record.name === 'stream_start_failed') {
      process.stderr.write(`capture did not start: ${record.details.message}\n`);
    }
  });

  let stopping = false;
  function stop() {
    if (stopping) return;
    stopping = true;
    helper.kill('SIGTERM');
  }
  process.on('SIGINT', stop);
  process.on('SIGTERM', stop);
  const timer = options.duration === undefined ? null : setTimeout(stop, Number(options.duration) * 1000);
  // Without an engine there is nothing to capture for.
  engineDone.then(stop);

  const helperResult = await helperDone;
  if (timer) clearTimeout(timer);
  await helperLinesClosed;
  engine.stdin.end();
  const engineResult = await engineDone;
  printer.clear();

  if (options.stats) {
    const cpu = process.cpuUsage();
    process.stderr.write(`host: ${stats.chunks} chunks, ${stats.bytes} bytes to the engine, ` +
                         `${stats.lines} line records (${stats.finals} final); ` +
                         `norvi-audio-helper ${ending(helperResult)}${streamEnded ? ' after "stream_ended"' : ''}, ` +
                         `norvi-apple-engine ${ending(engineResult)}; ` +
                         `host CPU ${((cpu.user + cpu.system) / 1e6).toFixed(3)} s\n`);
  }
  const failures = [];
  if (helperResult.code !== 0 || !streamEnded) {
    failures.push(`norvi-audio-helper ended with ${ending(helperResult)}` +
                  `${streamEnded ? '' : ' before "stream_ended"'}: ${helperErrors() || 'no message'}`);
  }
  if (engineResult.code !== 0) {
    failures.push(`norvi-apple-engine ended with ${ending(engineResult)}: ` +
                  `${engineErrors() || 'no message'}`);
  }
  if (failures.length > 0) {
    for (const failure of failures) process.stderr.write(`host: ${failure}\n`);
    process.exitCode = 1;
  }
}

main().catch((error) => {
  process.stderr.write(`host: ${error.message}\n`);
  process.exitCode = 1;
});
