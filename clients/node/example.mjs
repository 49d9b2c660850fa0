#!/usr/bin/env node
// Records what the computer plays for a few seconds, muted through its middle third, then prints
// how the tool ended and the format of the file it left. Only this package and Node.
//
//   node example.mjs [--tool tarn-audio-tap] [--output meeting.wav] [--seconds 3]
import { open } from 'node:fs/promises';
import { parseArgs } from 'node:util';
import { start, TapError } from './index.mjs';

// What each exit status means, as the tool documents it.
const STATUSES = { 0: 'stopped', 2: 'the sound server ended the capture', 3: 'could not start',
  4: 'access to the sound server refused', 64: 'bad command line' };

const sleep = (seconds) => new Promise((resolve) => setTimeout(resolve, seconds * 1000));

// Channels, bits and rate from the WAV's format chunk, and its length from its data chunk.
async function wavFormat(path) {
  const file = await open(path);
  try {
    const { size } = await file.stat();
    const { buffer, bytesRead } = await file.read(Buffer.alloc(4096), 0, 4096, 0);
    let channels, rate, bits;
    for (let at = 12; at + 8 <= bytesRead; at += 8 + buffer.readUInt32LE(at + 4)) {
      const id = buffer.toString('latin1', at, at + 4);
      if (id === 'fmt ') {
        [channels, rate, bits] = [buffer.readUInt16LE(at + 10), buffer.readUInt32LE(at + 12),
          buffer.readUInt16LE(at + 22)];
      } else if (id === 'data') {
        // What follows the header, however large: an RF64 file does not say it here.
        return { channels, rate, bits, seconds: (size - at - 8) / (rate * channels * bits / 8) };
      }
    }
    throw new Error(`${path}: not a WAV file`);
  } finally {
    await file.close();
  }
}

const { values } = parseArgs({ options: {
  tool: { type: 'string', default: 'tarn-audio-tap' },
  output: { type: 'string', default: 'meeting.wav' },
  seconds: { type: 'string', default: '3' },
} });
const seconds = Number(values.seconds);

let tap;
try {
  tap = await start({ tool: values.tool, output: values.output });
} catch (error) {
  if (!(error instanceof TapError)) throw error;
  console.log(`tarn-audio-tap: start failed: ${error.name} ${error.code} status ${error.status}: ` +
    (error.line ?? error.message));
  process.exit(error.status || 1);
}
let said = '';
tap.on('writeError', (description) => console.log(`tarn-audio-tap: write error: ${description}`));
tap.on('exit', (status, error) => { said = error?.line ? `, said: ${error.line}` : ''; });

await sleep(seconds / 3);
tap.mute(); // what sounds now is written as silence; the timeline goes on
await sleep(seconds / 3);
tap.unmute();
await sleep(seconds / 3);
const status = await tap.stop(); // the file is complete once this resolves
console.log(`tarn-audio-tap: status ${status} (${STATUSES[status] ?? 'unknown'})${said}`);
if (status !== 0) process.exit(status ?? 1);

// A recording that could not be written (its write errors printed above) leaves no file.
const { channels, bits, rate, seconds: length } = await wavFormat(values.output).catch((error) => {
  console.log(`${values.output}: ${error.message}`);
  process.exit(1);
});
console.log(`${values.output}: ${channels} channel${channels === 1 ? '' : 's'}, ${bits}-bit, ` +
  `${rate} Hz, ${length.toFixed(2)} s`);
if (channels !== 1 || bits !== 16 || rate !== 16000) {
  console.log('unexpected format');
  process.exit(1);
}
