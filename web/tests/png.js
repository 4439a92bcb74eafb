// Just enough PNG for the tests: 8-bit RGB and RGBA, not interlaced, read
// into RGBA and written from it, independent of any browser's coder.
import zlib from 'node:zlib';

const SIGNATURE = Buffer.from([137, 80, 78, 71, 13, 10, 26, 10]);

function crc32(bytes) {
  let crc = ~0;
  for (const byte of bytes) {
    crc ^= byte;
    for (let k = 0; k < 8; ++k) crc = (crc >>> 1) ^ (0xedb88320 & -(crc & 1));
  }
  return ~crc >>> 0;
}

function chunk(type, data) {
  const out = Buffer.alloc(12 + data.length);
  out.writeUInt32BE(data.length, 0);
  out.write(type, 4, 'latin1');
  data.copy(out, 8);
  out.writeUInt32BE(crc32(out.subarray(4, 8 + data.length)), 8 + data.length);
  return out;
}

// alpha: false writes the colour type without alpha (8-bit RGB), what an
// opaque picture's PNG would be.
export function writePng({ width, height, data }, { alpha = true } = {}) {
  const channels = alpha ? 4 : 3;
  const header = Buffer.alloc(13);
  header.writeUInt32BE(width, 0);
  header.writeUInt32BE(height, 4);
  header.set([8, alpha ? 6 : 2, 0, 0, 0], 8);  // 8 bits, RGBA or RGB
  const rowBytes = channels * width;
  const raw = Buffer.alloc((rowBytes + 1) * height);
  for (let y = 0; y < height; ++y) {
    const row = data.subarray(4 * width * y, 4 * width * (y + 1));
    const at = (rowBytes + 1) * y + 1;
    if (alpha) {
      raw.set(row, at);
    } else {
      for (let x = 0; x < width; ++x) {
        raw[at + 3 * x] = row[4 * x];
        raw[at + 3 * x + 1] = row[4 * x + 1];
        raw[at + 3 * x + 2] = row[4 * x + 2];
      }
    }
  }
  return Buffer.concat([SIGNATURE, chunk('IHDR', header), chunk('IDAT', zlib.deflateSync(raw)), chunk('IEND', Buffer.alloc(0))]);
}

function paeth(a, b, c) {
  const p = a + b - c, pa = Math.abs(p - a), pb = Math.abs(p - b), pc = Math.abs(p - c);
  return pa <= pb && pa <= pc ? a : pb <= pc ? b : c;
}

export function readPng(file) {
  if (!file.subarray(0, 8).equals(SIGNATURE)) throw new Error('not a PNG');
  let at = 8, width = 0, height = 0, channels = 0;
  const idat = [];
  while (at < file.length) {
    const length = file.readUInt32BE(at);
    const type = file.toString('latin1', at + 4, at + 8);
    const body = file.subarray(at + 8, at + 8 + length);
    if (type === 'IHDR') {
      width = body.readUInt32BE(0);
      height = body.readUInt32BE(4);
      const [depth, colour, , , interlace] = body.subarray(8, 13);
      if (depth !== 8 || (colour !== 2 && colour !== 6) || interlace !== 0) throw new Error('PNG form not read here');
      channels = colour === 6 ? 4 : 3;
    } else if (type === 'IDAT') {
      idat.push(body);
    }
    at += 12 + length;
  }
  const raw = zlib.inflateSync(Buffer.concat(idat));
  const stride = channels * width;
  const rows = Buffer.alloc(stride * height);
  for (let y = 0; y < height; ++y) {
    const filter = raw[(stride + 1) * y];
    const src = raw.subarray((stride + 1) * y + 1, (stride + 1) * (y + 1));
    const row = rows.subarray(stride * y, stride * (y + 1));
    const up = y > 0 ? rows.subarray(stride * (y - 1), stride * y) : Buffer.alloc(stride);
    for (let x = 0; x < stride; ++x) {
      const a = x >= channels ? row[x - channels] : 0, b = up[x], c = x >= channels ? up[x - channels] : 0;
      const predictor = [0, a, b, (a + b) >> 1, paeth(a, b, c)][filter];
      row[x] = (src[x] + predictor) & 0xff;
    }
  }
  const data = new Uint8ClampedArray(4 * width * height);
  for (let k = 0, j = 0; k < rows.length; k += channels, j += 4) {
    data[j] = rows[k]; data[j + 1] = rows[k + 1]; data[j + 2] = rows[k + 2];
    data[j + 3] = channels === 4 ? rows[k + 3] : 255;
  }
  return { width, height, data };
}
