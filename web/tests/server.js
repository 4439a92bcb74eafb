// A static server on 127.0.0.1 for the browser tests: the package's files,
// the test pictures under /pictures/ and the samples under /samples/, every
// response under the strict policy the viewer is written for.
import fs from 'node:fs';
import http from 'node:http';
import path from 'node:path';

export const POLICY = "default-src 'none'; script-src 'self' 'wasm-unsafe-eval'; worker-src 'self'; " +
  "connect-src 'self'; style-src 'self'; img-src 'self' blob:; base-uri 'none'; form-action 'none'";

const TYPES = {
  '.html': 'text/html; charset=utf-8', '.js': 'text/javascript; charset=utf-8', '.css': 'text/css; charset=utf-8',
  '.wasm': 'application/wasm', '.png': 'image/png', '.kx': 'application/octet-stream',
};

// extraPolicy: directives added to the policy of given paths.
export function serve(roots, extraPolicy = {}) {
  const server = http.createServer((request, response) => {
    const url = new URL(request.url, 'http://127.0.0.1');
    const pathname = decodeURIComponent(url.pathname);
    const mount = Object.keys(roots).filter((m) => pathname.startsWith(m)).sort((a, b) => b.length - a.length)[0];
    const root = roots[mount];
    const file = path.resolve(root, '.' + pathname.slice(mount.length - 1));
    if (mount === undefined || !file.startsWith(path.resolve(root)) || !fs.existsSync(file) || !fs.statSync(file).isFile()) {
      response.writeHead(404, { 'Content-Security-Policy': POLICY });
      response.end('not found');
      return;
    }
    response.writeHead(200, {
      'Content-Type': TYPES[path.extname(file)] ?? 'application/octet-stream',
      'Content-Security-Policy': POLICY + (extraPolicy[pathname] ?? ''),
      'Cache-Control': 'no-store',
    });
    if (url.searchParams.has('slow')) {
      // The file in uneven pieces, 40 ms apart, as a slow connection gives it.
      const bytes = fs.readFileSync(file);
      const SIZES = [1, 7, 300, 5, 2000, 3, 4096, 11];
      let at = 0, piece = 0;
      const next = () => {
        if (at >= bytes.length) {
          response.end();
          return;
        }
        const size = SIZES[piece++ % SIZES.length];
        response.write(bytes.subarray(at, at + size));
        at += size;
        setTimeout(next, 40);
      };
      next();
      return;
    }
    fs.createReadStream(file).pipe(response);
  });
  return new Promise((resolve) => server.listen(0, '127.0.0.1', () => resolve(server)));
}
