// Paths and the native reference shared by the web package's tests.
import { execFileSync } from 'node:child_process';
import fs from 'node:fs';
import path from 'node:path';
import { fileURLToPath } from 'node:url';

export const webDir = path.resolve(path.dirname(fileURLToPath(import.meta.url)), '..');
export const repoDir = path.resolve(webDir, '..');
export const workDir = process.env.KX_WEB_WORK ?? path.join(repoDir, 'build', 'web');
export const reference = process.env.KX_WEB_REFERENCE ?? path.join(repoDir, 'build', 'release', 'web', 'kx_web_reference');
export const picturesDir = path.join(workDir, 'pictures');
export const samplesDir = path.join(workDir, 'samples');

// Every file a decoder must agree on: the golden files with their bitmaps,
// the damaged and refused ones, the hosts' samples and the decode fuzzer's
// seeds.
export function sampleFiles() {
  const dirs = [
    path.join(repoDir, 'tests', 'data', 'decode'),
    path.join(repoDir, 'tests', 'data', 'damaged'),
    path.join(repoDir, 'fuzz', 'corpus', 'decode'),
    samplesDir,
  ];
  const files = [];
  for (const dir of dirs) {
    for (const name of fs.readdirSync(dir).sort()) {
      if (name.endsWith('.bmp') || name.endsWith('.txt')) continue;
      files.push(path.join(dir, name));
    }
  }
  return files;
}

// The native library's decode to RGBA: {result, width, height, complete,
// decodedPixels, data}.
// The files it goes through are this process's own, so that suites run
// side by side do not read each other's, and are removed once read.
export function nativeDecode(file) {
  const out = path.join(workDir, `native-${process.pid}.rgba`);
  fs.rmSync(out, { force: true });
  const [result, width, height, complete, decodedPixels] =
    execFileSync(reference, ['decode', file, out], { encoding: 'utf8' }).trim().split(' ').map(Number);
  const data = result === 0 ? fs.readFileSync(out) : null;
  fs.rmSync(out, { force: true });
  return { result, width, height, complete: complete === 1, decodedPixels, data };
}

// The native writer's file for RGBA pixels at a level.
export function nativeEncode(rgba, width, height, level, decodeSpeed = 0) {
  const input = path.join(workDir, `native-in-${process.pid}.rgba`);
  const out = path.join(workDir, `native-${process.pid}.kx`);
  fs.writeFileSync(input, rgba);
  fs.rmSync(out, { force: true });
  const [result] = execFileSync(reference, ['encode', input, String(width), String(height), String(level), String(decodeSpeed), out],
    { encoding: 'utf8' }).trim().split(' ').map(Number);
  fs.rmSync(input, { force: true });
  if (result !== 0) throw new Error(`native encode refused: ${result}`);
  const file = fs.readFileSync(out);
  fs.rmSync(out, { force: true });
  return file;
}

export function sameBytes(a, b) {
  return a.length === b.length && Buffer.compare(Buffer.from(a.buffer, a.byteOffset, a.length),
    Buffer.from(b.buffer, b.byteOffset, b.length)) === 0;
}

// A golden bitmap (24-bit, bottom-up, rows padded to 4 bytes) as top-down
// RGBA with alpha 255, as the decoders give it.
export function goldenRgba(bmpFile) {
  const bmp = fs.readFileSync(bmpFile);
  const offset = bmp.readUInt32LE(10), width = bmp.readInt32LE(18), height = bmp.readInt32LE(22);
  const stride = (3 * width + 3) & ~3;
  const data = new Uint8Array(4 * width * height);
  for (let y = 0; y < height; ++y) {
    const row = offset + (height - 1 - y) * stride;
    for (let x = 0; x < width; ++x) {
      data.set([bmp[row + 3 * x + 2], bmp[row + 3 * x + 1], bmp[row + 3 * x], 255], 4 * (y * width + x));
    }
  }
  return { width, height, data };
}

// 16 bytes whose header states 9000 x 9000 (header-9000.kx in `dir`):
// within the library's own limit (243 MB as 24-bit), over the element's cap.
export function writeHeader9000(dir) {
  const header = Buffer.alloc(16);
  header.write('KX', 0, 'latin1');
  header[2] = 0x83;
  header[3] = 3;
  header.writeInt16LE(9000, 12);
  header.writeInt16LE(9000, 14);
  fs.writeFileSync(path.join(dir, 'header-9000.kx'), header);
}
