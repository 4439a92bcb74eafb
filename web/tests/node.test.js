// The package in Node against the native library: the same pixels for
// every sample, the same files from the writer, the same refusals, and a
// module that stays usable after each.
import assert from 'node:assert/strict';
import fs from 'node:fs';
import path from 'node:path';
import { describe, test, before } from 'node:test';

import * as kx from '../kx-node.js';
import { nativeDecode, nativeEncode, picturesDir, sameBytes, sampleFiles } from './common.js';

const builds = [{ name: 'simd', simd: true }, { name: 'plain', simd: false }];

// Deterministic pixels of a few kinds: flat areas with ramps (long copies),
// noise (literals), and noise over a small palette (short copies).
function makePixels(kind, width, height, seed) {
  const data = new Uint8ClampedArray(4 * width * height);
  let state = seed >>> 0 || 1;
  const next = () => {
    state ^= state << 13; state >>>= 0;
    state ^= state >>> 17;
    state ^= state << 5; state >>>= 0;
    return state;
  };
  for (let y = 0; y < height; ++y) {
    for (let x = 0; x < width; ++x) {
      const at = 4 * (y * width + x);
      const r = next();
      if (kind === 'ramps') {
        data[at] = (x >> 3) * 7; data[at + 1] = y & 0xff; data[at + 2] = ((x + y) >> 5) * 40;
      } else if (kind === 'noise') {
        data[at] = r; data[at + 1] = r >>> 8; data[at + 2] = r >>> 16;
      } else {
        const c = (r & 3) * 60;
        data[at] = c; data[at + 1] = 255 - c; data[at + 2] = (x * 3) & 0xff;
      }
      data[at + 3] = r >>> 24;  // alpha is ignored by the writer
    }
  }
  return { width, height, data };
}

for (const build of builds) {
  describe(`${build.name} build`, () => {
    let codec;
    before(async () => {
      codec = await kx.createCodec({ simd: build.simd });
      assert.equal(codec.simd, build.simd);
    });

    test('every sample decodes as the native library decodes it, or is refused with the same result', () => {
      const files = sampleFiles();
      assert.ok(files.length >= 40, `only ${files.length} samples`);
      let decoded = 0, damaged = 0;
      for (const file of files) {
        const bytes = fs.readFileSync(file);
        const native = nativeDecode(file);
        const name = path.relative(process.cwd(), file);
        if (native.result !== 0) {
          assert.throws(() => codec.decode(bytes), (e) => e instanceof kx.KxError && e.code === native.result &&
            e.message.length > 0, name);
          continue;
        }
        const picture = codec.decode(bytes);
        assert.equal(picture.width, native.width, name);
        assert.equal(picture.height, native.height, name);
        assert.equal(picture.complete, native.complete, name);
        assert.equal(picture.decodedPixels, native.decodedPixels, name);
        assert.ok(picture.data instanceof Uint8ClampedArray, name);
        assert.ok(sameBytes(picture.data, native.data), `${name}: pixels differ`);
        decoded += 1;
        if (!picture.complete) damaged += 1;
      }
      assert.ok(decoded >= 20 && damaged >= 3, `${decoded} decoded, ${damaged} of them damaged`);
    });

    // A Response whose body arrives in uneven pieces (1 and 7 bytes, a few
    // KiB, pieces ending inside the header and inside tokens): the picture
    // and the report of the whole file's decode, or its refusal; every row
    // the decoder calls final already holds its final pixels.
    test('every sample decoded from a stream in uneven pieces gives the whole file\'s picture', async () => {
      const SIZES = [1, 7, 3, 4096, 2, 65536, 13, 1000];
      for (const file of sampleFiles()) {
        const bytes = fs.readFileSync(file);
        const name = path.relative(process.cwd(), file);
        let at = 0;
        let piece = 0;
        const body = new ReadableStream({
          pull(controller) {
            if (at >= bytes.length) {
              controller.close();
              return;
            }
            const size = SIZES[piece++ % SIZES.length];
            controller.enqueue(new Uint8Array(bytes.subarray(at, at + size)));
            at += size;
          },
        });
        let whole;
        try {
          whole = codec.decode(bytes);
        } catch (e) {
          await assert.rejects(codec.decodeStream(new Response(body)), (s) => s instanceof kx.KxError && s.code === e.code, name);
          continue;
        }
        const seen = [];
        let lastRows = 0;
        const picture = await codec.decodeStream(new Response(body), {
          onRows: ({ rowsFinal, data, width, height }) => {
            assert.ok(rowsFinal >= lastRows && rowsFinal <= height, `${name}: ${rowsFinal} after ${lastRows}`);
            const bytesFinal = 4 * width * rowsFinal;
            seen.push([rowsFinal, sameBytes(data.subarray(0, bytesFinal), whole.data.subarray(0, bytesFinal))]);
            lastRows = rowsFinal;
          },
        });
        assert.deepEqual([picture.width, picture.height, picture.complete, picture.decodedPixels],
          [whole.width, whole.height, whole.complete, whole.decodedPixels], name);
        assert.ok(sameBytes(picture.data, whole.data), `${name}: pixels differ`);
        assert.deepEqual(seen.filter(([, same]) => !same), [], `${name}: rows called final changed later`);
        assert.equal(seen.at(-1)?.[0], whole.height, name);
      }
    });

    test('the golden files decode to their bitmaps', () => {
      const dir = path.join(path.dirname(sampleFiles()[0]));
      for (const name of fs.readdirSync(dir).filter((n) => n.endsWith('.kx'))) {
        const bmp = fs.readFileSync(path.join(dir, name.replace(/\.kx$/, '.bmp')));
        const picture = codec.decode(fs.readFileSync(path.join(dir, name)));
        // A 24-bit bottom-up bitmap, rows padded to 4 bytes.
        const offset = bmp.readUInt32LE(10);
        const stride = (3 * picture.width + 3) & ~3;
        for (let y = 0; y < picture.height; ++y) {
          const row = offset + (picture.height - 1 - y) * stride;
          for (let x = 0; x < picture.width; ++x) {
            const at = 4 * (y * picture.width + x);
            const px = [picture.data[at], picture.data[at + 1], picture.data[at + 2], picture.data[at + 3]];
            assert.deepEqual(px, [bmp[row + 3 * x + 2], bmp[row + 3 * x + 1], bmp[row + 3 * x], 255],
              `${name} at ${x},${y}`);
          }
        }
      }
    });

    test('encoding gives the native writer\'s file, and decodes back to the pixels', () => {
      const cases = [
        ['ramps', 1, 1, 6], ['noise', 3, 2, 1], ['ramps', 333, 129, 1], ['ramps', 333, 129, 6],
        ['ramps', 333, 129, 9], ['noise', 97, 61, 6], ['palette', 640, 480, 1], ['palette', 640, 480, 6],
        ['palette', 640, 480, 9], ['palette', 1024, 700, 7],
        // Written for decoding speed: the level does not matter then.
        ['noise', 97, 61, 6, 3], ['ramps', 333, 129, 1, 9], ['palette', 640, 480, 6, 5],
      ];
      for (const [kind, width, height, level, decodeSpeed = 0] of cases) {
        const image = makePixels(kind, width, height, width * 31 + level);
        const file = codec.encode(image, decodeSpeed === 0 ? { level } : { level, decodeSpeed });
        const label = `${kind} ${width}x${height} level ${level} decode speed ${decodeSpeed}`;
        assert.ok(sameBytes(file, nativeEncode(image.data, width, height, level, decodeSpeed)),
          `${label}: not the native file`);
        const back = codec.decode(file);
        assert.equal(back.complete, true, label);
        const expected = Uint8ClampedArray.from(image.data, (v, k) => (k % 4 === 3 ? 255 : v));
        assert.ok(sameBytes(back.data, expected), `${label}: round trip`);
      }
      // The default level, and a plain typed array with its size given.
      const image = makePixels('ramps', 50, 40, 7);
      assert.ok(sameBytes(codec.encode(image.data, { width: 50, height: 40 }), nativeEncode(image.data, 50, 40, 6)));
    });

    test('bad input throws the library\'s error and leaves the module usable', () => {
      const good = codec.encode(makePixels('ramps', 64, 48, 3));
      const expectedPixels = codec.decode(good).data;
      const header = (w, h) => {
        const b = new Uint8Array(20);
        b.set([0x4b, 0x58, 0x83, 3]);
        b.set([w & 0xff, w >> 8, h & 0xff, h >> 8], 12);
        return b;
      };
      const refusals = [
        ['not KX', () => codec.decode(new TextEncoder().encode('BM this is a bitmap, not a KX file')), 'KX_ERR_NOT_KX'],
        ['truncated header', () => codec.decode(good.subarray(0, 15)), 'KX_ERR_TRUNCATED_HEADER'],
        ['empty', () => codec.decode(new Uint8Array(0)), 'KX_ERR_TRUNCATED_HEADER'],
        ['over the cap', () => codec.decode(header(32767, 32767)), 'KX_ERR_TOO_LARGE'],
        ['zero width', () => codec.decode(header(0, 5)), 'KX_ERR_NO_PIXELS'],
        ['level 0', () => codec.encode(makePixels('ramps', 4, 4, 1), { level: 0 }), 'KX_ERR_BAD_LEVEL'],
        ['level 10', () => codec.encode(makePixels('ramps', 4, 4, 1), { level: 10 }), 'KX_ERR_BAD_LEVEL'],
        ['decode speed -1', () => codec.encode(makePixels('ramps', 4, 4, 1), { decodeSpeed: -1 }), 'KX_ERR_BAD_LEVEL'],
        ['decode speed 10', () => codec.encode(makePixels('ramps', 4, 4, 1), { decodeSpeed: 10 }), 'KX_ERR_BAD_LEVEL'],
        ['width 8193', () => codec.encode(new Uint8Array(4 * 8193), { width: 8193, height: 1 }), 'KX_ERR_BAD_SIZE'],
        ['width 2^32 + 1', () => codec.encode(new Uint8Array(4), { width: 2 ** 32 + 1, height: 1 }), 'KX_ERR_BAD_SIZE'],
        ['too few pixels', () => codec.encode(new Uint8Array(4 * 10 - 1), { width: 5, height: 2 }),
          'KX_ERR_BUFFER_TOO_SMALL'],
      ];
      for (const [label, call, codeName] of refusals) {
        assert.throws(call, (e) => e instanceof kx.KxError && e.codeName === codeName && e.message.length > 0, label);
        // The module still decodes, and to the same pixels.
        assert.ok(sameBytes(codec.decode(good).data, expectedPixels), `after ${label}`);
      }
      assert.throws(() => codec.decode('KX'), TypeError);
      // A truncated stream is no error: the rest is completed.
      const cut = codec.decode(good.subarray(0, good.length - 10));
      assert.equal(cut.complete, false);
      assert.ok(cut.decodedPixels < 64 * 48);
      // probe reports instead of throwing.
      const info = codec.probe(header(32767, 32767));
      assert.deepEqual([info.width, info.height, info.recognized, info.decodable], [32767, 32767, false, false]);
      assert.match(info.decodingError, /256 MiB/);
      assert.equal(codec.probe(good).recognized, true);
      assert.equal(codec.probe(good).coding, 0x83);
    });

    test('an 8192 x 8192 picture decodes as the native library decodes it, and encodes to its file', () => {
      const file = path.join(picturesDir, 'large.kx');
      const bytes = fs.readFileSync(file);
      const picture = codec.decode(bytes);
      assert.equal(picture.width, 8192);
      assert.equal(picture.height, 8192);
      assert.equal(picture.complete, true);
      assert.ok(sameBytes(picture.data, nativeDecode(file).data));
      // The native writer made the file at the default level.
      assert.ok(sameBytes(codec.encode(picture), bytes));
    });
  });
}

test('the module-level functions share one codec', async () => {
  const file = fs.readFileSync(sampleFiles().find((f) => f.endsWith('gradient-333x129.kx')));
  const a = await kx.init();
  assert.equal(a, await kx.init());
  assert.equal(a.simd, kx.simdSupported());
  const picture = await kx.decode(file);
  assert.ok(sameBytes(await kx.encode(picture), a.encode(picture)));
  assert.equal((await kx.probe(file)).width, 333);
});
