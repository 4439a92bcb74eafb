// Declarations of the package's .wasm files (kx-codec/kx-simd.wasm,
// kx-codec/kx-plain.wasm) as a bundler's file loader imports them: the URL
// the bundler copied the file to, to be handed to init({wasm}).
declare const url: string;
export default url;
