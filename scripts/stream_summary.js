#!/usr/bin/env node
// Reads a stream command's JSON lines on standard input and prints what arrived, for people.
'use strict';
const readline = require('node:readline');

let chunks = 0;
let frames = 0;
let peak = 0;
const lines = readline.createInterface({ input: process.stdin });
lines.on('line', (line) => {
  const record = JSON.parse(line);
  if (record.type === 'pcm_s16le') {
    chunks += 1;
    frames += record.frames;
    peak = Math.max(peak, record.peak);
    if (Buffer.from(record.data, 'base64').length !== record.frames * 2) {
      throw new Error(`chunk ${chunks} does not hold ${record.frames} samples`);
    }
    return;
  }
  console.log(`${record.type}${record.command ? ` (${record.command})` : ''}${record.name ? `: ${record.name}` : ''}`);
  if (record.type === 'stream_ended') {
    console.log(`${chunks} chunks, ${(frames / 16000).toFixed(1)} s of 16 kHz mono audio, peak ${peak.toFixed(3)}`);
  }
});
