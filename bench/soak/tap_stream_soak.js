#!/usr/bin/env node
// Runs `HELPER tap-stream` (the scenario comes in NORVI_SIMULATION), reads its records as fast as
// they come and counts the chunks, samples its VmRSS about once a second, stops it with SIGTERM
// at EXPECTED chunks and checks how it ended. Used by tap_stream_soak.sh.
//
//   node bench/soak/tap_stream_soak.js HELPER EXPECTED
'use strict';
const { spawn } = require('node:child_process');
const fs = require('node:fs');

const [helperPath, expectedText] = process.argv.slice(2);
const expected = Number(expectedText);
if (!helperPath || !Number.isInteger(expected) || expected <= 0) {
  console.error('usage: tap_stream_soak.js HELPER EXPECTED_CHUNKS');
  process.exit(2);
}

const started = process.hrtime.bigint();
const seconds = () => Number(process.hrtime.bigint() - started) / 1e9;

const helper = spawn(helperPath, ['tap-stream'], { stdio: ['ignore', 'pipe', 'pipe'] });
let standardError = '';
helper.stderr.setEncoding('utf8');
helper.stderr.on('data', (text) => { standardError += text; });

let chunks = 0;
let lastLine = '';
let endedRecords = 0;
const problems = [];
let lastChunkAt = null;

function residentKiB() {
  try {
    const match = /^VmRSS:\s+(\d+) kB$/m.exec(fs.readFileSync(`/proc/${helper.pid}/status`, 'utf8'));
    return match ? Number(match[1]) : null;
  } catch {
    return null;
  }
}

const curve = [];
function sample() {
  const rss = residentKiB();
  if (rss === null) return;
  curve.push(rss);
  console.log(`${seconds().toFixed(1).padStart(8)} ${String(chunks).padStart(8)} ${String(rss).padStart(8)}`);
}

function onLine(line) {
  lastLine = line;
  let record;
  try {
    record = JSON.parse(line);
  } catch {
    problems.push(`not JSON: ${line.slice(0, 120)}`);
    return;
  }
  if (record.type === 'pcm_s16le') {
    chunks += 1;
    lastChunkAt = seconds();
    if (record.frames !== 1600 || typeof record.data !== 'string' || record.data.length !== 4268) {
      problems.push(`chunk ${chunks} is not a whole chunk of 1600 frames`);
    }
    if (chunks === expected) {
      sample();
      helper.kill('SIGTERM');
    }
  } else if (record.type === 'stream_ended') {
    endedRecords += 1;
  } else if (record.type === 'stream_started') {
    // The first sample once the helper runs its command, not while it is still being started.
    sample();
  } else {
    problems.push(`unexpected record: ${line.slice(0, 120)}`);
  }
}

// Lines are cut from the raw bytes; a line split across reads is joined first.
let pending = [];
helper.stdout.on('data', (bytes) => {
  let start = 0;
  for (let end = bytes.indexOf(10); end !== -1; end = bytes.indexOf(10, start)) {
    let line = bytes.subarray(start, end);
    if (pending.length > 0) {
      pending.push(line);
      line = Buffer.concat(pending);
      pending = [];
    }
    onLine(line.toString('latin1'));
    start = end + 1;
  }
  if (start < bytes.length) pending.push(bytes.subarray(start));
});

// Cycles come as fast as they go: ten seconds without a chunk means the input ran out early,
// and the helper is stopped so that the checks report it.
const stallSeconds = 10;
let chunksAtLastSample = -1;
let quietSamples = 0;
console.log(' seconds   chunks  rss_kib');
const sampler = setInterval(() => {
  sample();
  quietSamples = chunks === chunksAtLastSample ? quietSamples + 1 : 0;
  chunksAtLastSample = chunks;
  if (quietSamples === stallSeconds && chunks < expected) {
    problems.push(`no chunk for ${stallSeconds} s`);
    helper.kill('SIGTERM');
  }
}, 1000);

helper.on('close', (code, signal) => {
  clearInterval(sampler);
  const wall = seconds();
  if (pending.length > 0) problems.push('standard output ends inside a line');
  if (signal !== null) problems.push(`ended by ${signal}`);
  else if (code !== 0) problems.push(`exit status ${code}`);
  if (chunks !== expected) problems.push(`${chunks} chunks instead of ${expected}`);
  if (endedRecords !== 1) problems.push(`${endedRecords} stream_ended records`);
  if (lastLine !== '{"command":"tap-stream","type":"stream_ended"}') {
    problems.push(`the last line is not stream_ended: ${lastLine.slice(0, 120)}`);
  }
  const audio = chunks / 10;
  const toLastChunk = lastChunkAt ?? wall;
  console.log(`soak: ${audio} s of audio (${chunks} chunks) in ${wall.toFixed(2)} s wall, ` +
              `${toLastChunk.toFixed(2)} s to the last chunk: ` +
              `${(audio / toLastChunk).toFixed(0)} s of audio per second`);
  if (curve.length > 0) {
    console.log(`soak: resident memory first ${curve[0]} KiB, last ${curve[curve.length - 1]} KiB, ` +
                `largest ${Math.max(...curve)} KiB (${curve.length} samples)`);
  }
  if (problems.length > 0) {
    for (const problem of problems) console.error(`soak: ${problem}`);
    if (standardError) console.error(`soak: the helper's standard error:\n${standardError}`);
    process.exit(1);
  }
  console.log('soak: status 0, ends with stream_ended, every chunk arrived');
});
