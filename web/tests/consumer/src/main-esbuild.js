// The same page for a bundler that copies no file a module refers to by
// URL: the .wasm files imported with esbuild's file loader, handed to init.
import { init, simdSupported } from 'kx-codec';
import simd from 'kx-codec/kx-simd.wasm';
import plain from 'kx-codec/kx-plain.wasm';
import 'kx-codec/element';

init({ wasm: simdSupported() ? simd : plain });
