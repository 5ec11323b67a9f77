// labelgen: draws a sample shipping label as a PNG, for the demo and the
// benchmarks (no image files are kept in the repository).
//   node labelgen.js OUT.png [--dpi 203] [--inches 4x6]
// The label has a transparent margin (it must print as white paper), a black
// frame, a colour strip and a barcode-like pattern of bars.
'use strict';
const fs = require('fs');
const { encodePng } = require('./png');

const args = process.argv.slice(2);
const out = args[0];
let dpi = 203;
let inches = [4, 6];
for (let i = 1; i < args.length; i += 2) {
  if (args[i] === '--dpi') dpi = Number(args[i + 1]);
  else if (args[i] === '--inches') inches = args[i + 1].split('x').map(Number);
}
if (!out || !(dpi > 0) || inches.length !== 2 || !(inches[0] > 0 && inches[1] > 0)) {
  console.error('usage: node labelgen.js OUT.png [--dpi 203] [--inches 4x6]');
  process.exit(2);
}

const width = Math.round(inches[0] * dpi);
const height = Math.round(inches[1] * dpi);
const margin = Math.round(dpi / 10);
const frame = Math.max(2, Math.round(dpi / 50));
const WHITE = [255, 255, 255, 255];
const BLACK = [0, 0, 0, 255];
const CLEAR = [0, 0, 0, 0];
const strip = [[220, 30, 30, 255], [30, 160, 60, 255], [30, 60, 200, 255]];

// Deterministic bar widths (1..4 modules).
const bars = [];
let seed = 12345;
for (let x = 0; x < width; ) {
  seed = (seed * 1103515245 + 12345) & 0x7fffffff;
  const w = (1 + ((seed >> 16) % 4)) * Math.max(1, Math.round(dpi / 100));
  bars.push([x, x + w, bars.length % 2 === 0]);
  x += w;
}
const barTop = Math.round(height * 0.55);
const barBottom = Math.round(height * 0.8);
const stripTop = Math.round(height * 0.15);
const stripBottom = Math.round(height * 0.3);

function pixel(x, y) {
  if (x < margin || y < margin || x >= width - margin || y >= height - margin) return CLEAR;
  if (x < margin + frame || y < margin + frame || x >= width - margin - frame || y >= height - margin - frame) return BLACK;
  if (y >= stripTop && y < stripBottom) {
    const third = Math.floor(((x - margin) * 3) / (width - 2 * margin));
    return strip[Math.min(2, third)];
  }
  if (y >= barTop && y < barBottom && x >= 2 * margin && x < width - 2 * margin) {
    for (const [from, to, dark] of bars) if (x >= from && x < to) return dark ? BLACK : WHITE;
  }
  return WHITE;
}

fs.writeFileSync(out, encodePng(width, height, pixel));
console.log(`${out}: ${width}x${height} px (${inches[0]}x${inches[1]} in at ${dpi} dpi)`);
