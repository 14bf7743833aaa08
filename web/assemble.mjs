// Makes the page, one self-contained file:
//   node assemble.mjs WEB RUNTIME WASM OUTPUT
// WEB is this folder, RUNTIME the tool built as tolvek.js, WASM its
// WebAssembly. The style, the tool's runtime and the page's script go inline
// into tolvek.html, the WebAssembly in base64 into a data block there, and
// the page's Content-Security-Policy allows exactly those two scripts and
// that style, by their SHA-256 hashes.
import crypto from 'node:crypto';
import fs from 'node:fs';
import path from 'node:path';

function fail(message) {
  console.error(`assemble.mjs: ${message}`);
  process.exit(1);
}

const [web, runtime, wasm, output] = process.argv.slice(2);
if (output === undefined)
  fail('usage: node assemble.mjs WEB RUNTIME WASM OUTPUT');

// The page must be ASCII, every byte of it: a host may declare any charset
// for it, and the browser then decodes it by that. Only ASCII reads the
// same in all of them, so that the browser hashes the text hashed here and
// shows the characters written. Inline text must not end its element early
// or change how it is parsed either.
function read(file, element = null) {
  const text = fs.readFileSync(file, 'latin1');
  const at = text.search(/[^\x00-\x7f]/);
  if (at >= 0) {
    const line = text.slice(0, at).split('\n').length;
    fail(`${file}:${line}: byte 0x${text.charCodeAt(at).toString(16)} is not ASCII; write the character ` +
         'as an escape (\\u2026 in a script, \\2026 in a style, &#x2026; in HTML)');
  }
  for (const marker of element === null ? [] : [`</${element}`, '<!--', '\r']) {
    if (text.toLowerCase().includes(marker))
      fail(`${file} cannot go inline in <${element}>: it holds ${JSON.stringify(marker)}`);
  }
  return text;
}

const hash = (text) => `'sha256-${crypto.createHash('sha256').update(text).digest('base64')}'`;

const style = read(path.join(web, 'page.css'), 'style');
const script = read(path.join(web, 'page.js'), 'script');
const tool = read(runtime, 'script');
// Nothing but what the page brings: no requests, no frames, no forms.
// WebAssembly compiled from the page's own bytes needs 'wasm-unsafe-eval'.
// The WebAssembly's data block is never run, so the policy need not name it.
const policy = `default-src 'none'; script-src ${hash(tool)} ${hash(script)} 'wasm-unsafe-eval'; ` +
               `style-src ${hash(style)}; img-src data:; base-uri 'none'; form-action 'none'`;

// Each placeholder stands once in the template and is replaced there alone,
// so that text put in cannot be taken for another placeholder.
const parts = {
  POLICY: policy,
  STYLE: style,
  WASM: fs.readFileSync(wasm).toString('base64'),
  RUNTIME: tool,
  SCRIPT: script,
};
const template = path.join(web, 'tolvek.html');
let pieces = [read(template)];
for (const [name, text] of Object.entries(parts)) {
  const last = pieces.pop().split(`@TOLVEK_${name}@`);
  if (last.length !== 2)
    fail(`${template} must hold @TOLVEK_${name}@ once, after the placeholders before it`);
  pieces.push(last[0], text, last[1]);
}
fs.writeFileSync(output, pieces.join(''));
