// The page's own script. Each file chosen or dropped is handed to the tool,
// compiled to WebAssembly (createTolvek comes from the script before this
// one), and what the tool prints is shown as it printed it, below what the
// page makes of it in its own words. ASCII only: the rest as \u escapes.
'use strict';
(() => {
  // The tool reads one byte more than the largest image that it accepts, so
  // that a longer file is refused; nothing past that is ever read.
  const readLimit = 32769;
  // Every run has a file system of its own; the file lies in a folder of
  // its own there, so that no name meets the system's own (tmp, dev, ...).
  const folder = '/input';
  const archiveName = 'corrected-images.zip';
  // Longer report lines than these are folded away below the page map.
  const unfoldedLines = 8;

  // Where the browser lets a page write a file that it was given, each file
  // keeps the browser's handle to it, and a file with wrong pages can be
  // corrected where it lies; elsewhere corrected images are downloaded.
  const inPlace = typeof showOpenFilePicker === 'function' && typeof DataTransferItem === 'function' &&
      'getAsFileSystemHandle' in DataTransferItem.prototype;

  const element = (id) => document.getElementById(id);
  const chooseButton = element('choose');
  const folderButton = element('choose-folder');
  const fileInput = element('files');
  const bannerView = element('banner');
  const summary = element('summary');
  const actions = element('actions');
  const correctAllButton = element('correct-all');
  const writeAllButton = element('write-all');
  const inPlaceNote = element('in-place-note');
  const clearButton = element('clear');
  const downloadNote = element('download-note');
  const announcer = element('announce');
  const results = element('results');

  let banner = '';
  const entries = [];  // every file shown: {item, status, kind, ...}

  // The tool's WebAssembly, compiled once for the page; every run makes a
  // fresh instance of it, with memory of its own.
  let compiled = null;
  function compiledTool() {
    if (compiled === null) {
      const base64 = element('tool').textContent.trim();
      compiled = WebAssembly.compile(Uint8Array.from(atob(base64), (character) => character.charCodeAt(0)));
    }
    return compiled;
  }

  // Runs the tool once, in a fresh instance as a command line starts a
  // fresh process: `tolvek NAME` checks the file, `tolvek NAME NAME`
  // corrects it in place; without bytes there is no file of that name.
  // Gives the exit status, every byte printed on standard output and error,
  // taken one by one, and a corrected image.
  async function runTool(name, bytes, correct) {
    const module = await compiledTool();
    const printed = [];
    const take = (byte) => {
      printed.push(byte & 0xff);
    };
    const tool = await createTolvek({
      noInitialRun: true,
      instantiateWasm(imports, receive) {
        const instance = new WebAssembly.Instance(module, imports);
        receive(instance, module);
        return instance.exports;
      },
      preRun: [(runtime) => runtime.FS.init(() => null, take, take)],
    });
    let args = [];
    if (name !== null) {
      tool.FS.mkdir(folder);
      tool.FS.chdir(folder);
      if (bytes !== null)
        tool.FS.writeFile(name, bytes);
      args = correct ? [name, name] : [name];
    }
    const status = tool.callMain(args);
    const output = new TextDecoder('utf-8', {ignoreBOM: true}).decode(new Uint8Array(printed));
    const image = correct && status === 0 ? tool.FS.readFile(name) : null;
    return {status, output, image};
  }

  // What a run printed after the banner, which is shown once at the top.
  function reportOf(output) {
    return banner !== '' && output.startsWith(banner) ? output.slice(banner.length) : output;
  }

  function lines(text) {
    return text.split('\n').filter((line) => line !== '');
  }

  // A file's name, as text in an element of its own, so that no character
  // in it reorders the text around it.
  function nameView(name) {
    const view = document.createElement('bdi');
    view.textContent = name;
    return view;
  }

  // An element holding text and names, in order.
  function show(tag, className, ...parts) {
    const view = document.createElement(tag);
    view.className = className;
    view.append(...parts);
    return view;
  }

  // What the tool printed, with each occurrence of the file's name set apart.
  function toolText(tag, className, text, name) {
    const parts = name === '' ? [text] : text.split(name).flatMap((part) => [nameView(name), part]).slice(1);
    return show(tag, className, ...parts);
  }

  const utf8Length = (text) => new TextEncoder().encode(text).length;

  // The name that a corrected image is saved under: the file's own where
  // every common system can store it; otherwise the characters that one of
  // them does not allow are replaced, leading and trailing dots and spaces
  // taken off (one system hides such files, another cannot hold them), a
  // device name of Windows made a plain one, and the name cut to 200 bytes
  // with its extension kept. Browsers do much the same on their own but say
  // nothing, and give up on a name longer than the file system's limit.
  const maxNameBytes = 200;
  function savedName(name, suffix = '') {
    const trim = (text) => text.replace(/^[\p{White_Space}.]+|[\p{White_Space}.]+$/gu, '');
    let clean = trim(name.replace(/[\\/:*?"<>|\p{C}\p{Zl}\p{Zp}]/gu, '_'));
    if (/^(con|prn|aux|nul|com\d|lpt\d)(\.|$)/i.test(clean))
      clean = `_${clean}`;
    if (clean === '')
      clean = 'image';
    const extension = /\.[^.]{1,20}$/u.exec(clean)?.[0] ?? '';
    const room = maxNameBytes - utf8Length(suffix + extension);
    let stem = '';
    for (const character of clean.slice(0, clean.length - extension.length)) {
      if (utf8Length(stem + character) > room)
        break;
      stem += character;
    }
    return extension === '' && suffix === '' ? trim(stem) : stem + suffix + extension;
  }

  // A name not yet taken in an archive, whose entries a system that does not
  // tell capitals from small letters must also keep apart.
  function nameInArchive(name, taken) {
    const key = (saved) => saved.normalize('NFC').toLowerCase();
    let saved = savedName(name);
    for (let number = 2; taken.has(key(saved)); ++number)
      saved = savedName(name, ` (${number})`);
    taken.add(key(saved));
    return saved;
  }

  // CRC-32 of the zip format.
  const crcTable = Array.from({length: 256}, (_, index) => {
    let crc = index;
    for (let bit = 0; bit < 8; ++bit)
      crc = crc & 1 ? 0xedb88320 ^ (crc >>> 1) : crc >>> 1;
    return crc >>> 0;
  });
  function crc32(bytes) {
    let crc = 0xffffffff;
    for (const byte of bytes)
      crc = crcTable[(crc ^ byte) & 0xff] ^ (crc >>> 8);
    return (crc ^ 0xffffffff) >>> 0;
  }

  // Little-endian fields of 2 or 4 bytes, as [width, value].
  function fields(...list) {
    const view = new DataView(new ArrayBuffer(list.reduce((sum, [width]) => sum + width, 0)));
    let at = 0;
    for (const [width, value] of list) {
      if (width === 2)
        view.setUint16(at, value, true);
      else
        view.setUint32(at, value, true);
      at += width;
    }
    return new Uint8Array(view.buffer);
  }

  // A zip archive of the files ({name, bytes}), stored as they are: images of
  // at most 32 KiB gain little from compression. Names are UTF-8 (flag bit
  // 11); every entry has the time at which the archive was made.
  function zip(files, date = new Date()) {
    if (files.length > 0xffff)
      throw new Error('more than 65535 images for one archive: choose fewer at a time');
    const time = (date.getHours() << 11) | (date.getMinutes() << 5) | (date.getSeconds() >> 1);
    const year = Math.min(Math.max(date.getFullYear(), 1980), 2107);  // what the format can hold
    const day = ((year - 1980) << 9) | ((date.getMonth() + 1) << 5) | date.getDate();
    const parts = [];
    const directory = [];
    let offset = 0;
    for (const {name, bytes} of files) {
      const encoded = new TextEncoder().encode(name);
      // Version 2.0 needed, UTF-8 names, stored, time, CRC, both sizes, name
      // length, no extra field.
      const common = [[2, 20], [2, 0x800], [2, 0], [2, time], [2, day], [4, crc32(bytes)],
        [4, bytes.length], [4, bytes.length], [2, encoded.length], [2, 0]];
      parts.push(fields([4, 0x04034b50], ...common), encoded, bytes);
      // Made by version 2.0; no comment, first disk, no attributes.
      directory.push(fields([4, 0x02014b50], [2, 20], ...common, [2, 0], [2, 0], [2, 0], [4, 0], [4, offset]),
                     encoded);
      offset += 30 + encoded.length + bytes.length;
    }
    const size = directory.reduce((sum, part) => sum + part.length, 0);
    const end = fields([4, 0x06054b50], [2, 0], [2, 0], [2, files.length], [2, files.length], [4, size],
                       [4, offset], [2, 0]);
    return new Blob([...parts, ...directory, end], {type: 'application/zip'});
  }

  function download(name, blob) {
    const url = URL.createObjectURL(blob);
    const link = document.createElement('a');
    link.href = url;
    link.download = name;
    link.click();
    setTimeout(() => URL.revokeObjectURL(url), 60000);
  }

  // Each change is told once to those who do not see the page.
  function announce(text) {
    announcer.textContent = text;
  }

  function button(className, ...parts) {
    const view = show('button', className, ...parts);
    view.type = 'button';
    return view;
  }

  // A file's entry in the list, named as text, never as markup, with the
  // folder that it came from, if any.
  function addEntry(name, folder = null) {
    const item = show('li', 'file', show('h2', 'name', nameView(name)));
    if (folder !== null)
      item.append(show('p', 'where', 'In the folder ', nameView(folder.name)));
    item.setAttribute('aria-busy', 'true');
    const entry = {name, item, status: show('p', 'status', 'Checking\u2026'), kind: ''};
    item.append(entry.status);
    results.append(item);
    entries.push(entry);
    return entry;
  }

  function settle(entry, kind, ...status) {
    entry.item.className = `file ${kind}`;
    entry.kind = kind;
    entry.status.replaceChildren(...status);
    entry.item.removeAttribute('aria-busy');
  }

  // A map of the pages of an image, eight to a row from its first page,
  // each wrong page marked by its colour and a cross, once corrected by a
  // tick. It is drawn with three paths for all the pages: a box of its own
  // for each page made a hundred entries slow to lay out.
  const pitch = 22;  // a page's square and the gap to the next
  const svg = (tag) => document.createElementNS('http://www.w3.org/2000/svg', tag);
  const allPages = {};  // the squares of all pages, by the first page
  function pageMap(entry) {
    const first = entry.bytes.length === 8192 ? 32 : 0;
    if (!entry.map) {
      entry.map = svg('svg');
      entry.map.setAttribute('class', 'map');
      entry.map.setAttribute('role', 'img');
      entry.map.setAttribute('viewBox', `0 0 ${8 * pitch} ${(64 - first) / 8 * pitch}`);
      entry.map.append(svg('path'), svg('path'), svg('path'));
    }
    const state = entry.kind === 'corrected' ? 'corrected' : 'wrong';
    const marked = [...entry.wrong].join(', ');
    entry.map.setAttribute('aria-label', `Pages ${first} to 63: ${
        marked === '' ? 'all correct' : `${entry.wrong.size === 1 ? 'page' : 'pages'} ${marked} ${state}`}`);
    const corner = (page) => [(page - first) % 8 * pitch + 1.5, Math.floor((page - first) / 8) * pitch + 1.5];
    const square = (page) => {
      const [x, y] = corner(page);
      return `M${x} ${y}h19v19h-19z`;
    };
    const mark = (page) => {
      const [x, y] = corner(page);
      return state === 'wrong' ? `M${x + 5} ${y + 5}l9 9m0-9l-9 9` : `M${x + 4} ${y + 10}l3.5 3.5l7-7`;
    };
    const [all, wrong, marks] = entry.map.children;
    all.setAttribute('class', 'page');
    allPages[first] ??= Array.from({length: 64 - first}, (_, index) => square(first + index)).join('');
    all.setAttribute('d', allPages[first]);
    wrong.setAttribute('class', state);
    wrong.setAttribute('d', [...entry.wrong].map(square).join(''));
    marks.setAttribute('class', `${state}-mark`);
    marks.setAttribute('d', [...entry.wrong].map(mark).join(''));
  }

  // The tool's report lines, folded when there are many.
  function reportView(report, name) {
    const view = toolText('pre', 'report', report, name);
    const count = lines(report).length;
    if (count <= unfoldedLines)
      return view;
    return show('details', 'fold', show('summary', '', `The tool's report: ${count} lines`), view);
  }

  // A file's first bytes, as many as the tool reads, or why there are none.
  // A file may have changed or gone since it was chosen, with the size
  // given then: the browser then gives fewer bytes, or none. Of a file gone
  // before its size was asked for, it gives the size 0, and an empty slice,
  // but it cannot read the whole file.
  async function read(file, size) {
    try {
      const part = size > readLimit ? file.slice(0, readLimit) : file;
      const bytes = new Uint8Array(await part.arrayBuffer());
      const expected = Math.min(size, readLimit);
      if (bytes.length === expected)
        return {bytes, reason: ''};
      return {bytes: null, reason: `The browser gave ${bytes.length} of its ${expected} bytes.`};
    } catch (error) {
      return {bytes: null, reason: `${error.message || error}`};
    }
  }

  async function check(source, reading) {
    const {name} = source;
    const entry = addEntry(name, source.folder);
    const {bytes, reason} = await reading;
    let run;
    try {
      run = await runTool(name, bytes, false);
    } catch (error) {
      settle(entry, 'refused', `The tool could not run: ${error.message || error}`);
      return;
    }
    const report = reportOf(run.output);
    if (bytes === null) {
      // The tool tried to open a file that is not there, as for a file that
      // a command line cannot read, and said so.
      settle(entry, 'unreadable', 'Cannot be read');
      entry.item.append(toolText('pre', 'report', report, name), show('p', 'reason', reason));
      return;
    }
    if (run.status !== 0) {
      settle(entry, 'refused', 'Not accepted');
      entry.item.append(toolText('pre', 'report', report, name),
                        show('p', 'hint', 'tolvek takes 8, 16 or 32 KiB images of version 1.5 or later.'));
      return;
    }
    const found = lines(report).map((line) => /^checksum error in page (\d+):/.exec(line)).filter(Boolean);
    entry.bytes = bytes;
    entry.wrong = new Set(found.map((match) => Number(match[1])));
    if (entry.wrong.size === 0) {
      settle(entry, 'correct', 'All pages correct');
    } else {
      const count = entry.wrong.size;
      settle(entry, 'wrong', count === 1 ? '1 page wrong' : `${count} pages wrong`);
      entry.handle = source.handle;
      entry.folder = source.folder;
      // The buttons name the file to those who hear them.
      const named = (words) => show('span', 'unseen', words, nameView(name));
      entry.button = entry.handle ? button('fix', 'Download a corrected copy', named(' of '))
                                  : button('fix', 'Download the corrected ', nameView(name));
      entry.button.addEventListener('click', () => once(entry.button, () => downloadOne(entry)));
      entry.fixes = show('div', 'fixes', entry.button);
      if (entry.handle) {
        const write = button('write', 'Correct this file', named(': '));
        write.addEventListener('click', () => once(write, () => correctInPlace([entry], false)));
        entry.fixes.prepend(write);
      }
      entry.correction = show('pre', 'correction');
      entry.correction.hidden = true;
      entry.item.append(entry.fixes);
    }
    pageMap(entry);
    entry.item.append(entry.map, reportView(report, name));
    if (entry.correction)
      entry.item.append(entry.correction);
  }

  // Corrects the image as `tolvek NAME NAME` would, shows what the tool
  // printed, and gives the corrected image, or null if the tool wrote none.
  async function correct(entry) {
    const run = await runTool(entry.name, entry.bytes, true);
    entry.correction.replaceWith(entry.correction = toolText('pre', 'correction', reportOf(run.output), entry.name));
    return run.image;
  }

  function corrected(entry, saved, ...where) {
    settle(entry, 'corrected', 'Corrected: saved as ', nameView(saved), ...where);
    pageMap(entry);
  }

  async function downloadOne(entry) {
    const image = await correct(entry);
    if (image === null)
      return;
    const saved = savedName(entry.name);
    download(saved, new Blob([image], {type: 'application/octet-stream'}));
    corrected(entry, saved);
    summarize();
    announce(`${entry.name} corrected: saved as ${saved}`);
  }

  // An image with wrong pages whose file was neither corrected in place nor
  // changed since it was checked.
  const downloadable = (entry) => entry.correction && !entry.done;

  async function downloadAll() {
    const files = [];
    const taken = new Set();
    const fixable = entries.filter(downloadable);
    for (const entry of fixable) {
      const image = await correct(entry);
      if (image !== null)
        files.push({entry, name: nameInArchive(entry.name, taken), bytes: image});
    }
    download(archiveName, zip(files));
    let numbered = 0;
    for (const {entry, name} of files) {
      if (name === savedName(entry.name)) {
        corrected(entry, name, ` in ${archiveName}`);
      } else {
        corrected(entry, name, ` in ${archiveName}, with a number added: another image there has the same name`);
        ++numbered;
      }
    }
    summarize();
    announce(`${files.length === fixable.length ? 'All' : `Only ${files.length} of`} ${fixable.length} images corrected ` +
             `and saved in ${archiveName}${numbered === 0 ? '' : `; ${numbered} of them with a number added to the name, ` +
             'as their entries show'}.`);
  }

  const same = (one, other) => one.length === other.length && one.every((byte, index) => byte === other[index]);

  // The file's first bytes as the browser reads them now, through its handle.
  async function reread(handle) {
    try {
      const file = await handle.getFile();
      return await read(file, file.size);
    } catch (error) {
      return {bytes: null, reason: `${error.message || error}`};
    }
  }

  // The browser asks the person in its own prompt, unless it was allowed
  // already: for the file, or for the folder that holds it.
  async function permission(handle) {
    try {
      return await handle.requestPermission({mode: 'readwrite'});
    } catch (error) {
      return `${error.message || error}`;
    }
  }

  // An entry that no button may act on any more: its file was corrected in
  // place, or is no longer the one that was checked.
  function finish(entry, kind, ...status) {
    settle(entry, kind, ...status);
    entry.fixes.remove();
    entry.done = true;
  }

  // Writes over the file, through its handle, what `tolvek NAME NAME` writes,
  // but only while the file still holds the bytes that were checked; then
  // reads it back and checks it with the tool. The browser writes a new file
  // and puts it in place of the old one only when it is whole, so a write
  // that fails leaves the file as it was. Gives whether it was corrected.
  async function rewrite(entry) {
    const name = nameView(entry.name);
    const before = await reread(entry.handle);
    if (before.bytes === null || !same(before.bytes, entry.bytes)) {
      finish(entry, 'changed', 'Changed since it was checked: check it again. Nothing was written.');
      return false;
    }
    const image = await correct(entry);
    let failure = image === null ? 'the tool wrote no image' : '';
    if (image !== null) {
      try {
        const writable = await entry.handle.createWritable();
        try {
          await writable.write(image);
          await writable.close();
        } catch (error) {
          await writable.abort().catch(() => {});
          throw error;
        }
      } catch (error) {
        failure = `${error.message || error}`;
      }
    }
    const after = await reread(entry.handle);
    entry.check?.remove();
    let checked = false;
    if (after.bytes !== null) {
      const report = reportOf((await runTool(entry.name, after.bytes, false)).output);
      entry.correction.after(entry.check = toolText('pre', 'check', report, entry.name));
      checked = lines(report).at(-1) === 'checksum is OK!';
    }
    if (failure === '' && checked && same(after.bytes, image)) {
      finish(entry, 'corrected', 'Corrected in place');
      pageMap(entry);
      return true;
    }
    if (after.bytes !== null && same(after.bytes, entry.bytes))
      settle(entry, 'wrong', 'Not changed: the browser could not write ', name);
    else
      settle(entry, 'wrong', 'Written, but ', name, ' does not read back corrected: see the tool\'s check below');
    const reason = failure || after.reason;
    if (reason)
      entry.status.append(show('span', 'reason', ` (${reason})`));
    return false;
  }

  // Corrects the files where they lie, one after another. Each file is
  // asked for once; all of a folder's files corrected together, only the
  // folder. Where the browser is not allowed, nothing else is tried.
  async function correctInPlace(list, all) {
    const answers = new Map();
    const whom = (entry) => (all && entry.folder ? entry.folder : entry.handle);
    let done = 0;
    let refused = null;
    for (const entry of list) {
      entry.item.setAttribute('aria-busy', 'true');
      if (!answers.has(whom(entry)))
        answers.set(whom(entry), await permission(whom(entry)));
      if (answers.get(whom(entry)) !== 'granted') {
        refused = whom(entry);
        break;
      }
      if (await rewrite(entry))
        ++done;
    }
    for (const entry of list.filter((each) => refused !== null && whom(each) === refused)) {
      settle(entry, 'wrong', 'Not changed: the browser was not allowed to change ',
             ...(refused === entry.folder ? ['the folder ', nameView(refused.name)] : [nameView(entry.name)]));
    }
    for (const entry of list) {
      entry.item.removeAttribute('aria-busy');
      pageMap(entry);
    }
    summarize();
    if (!all)
      announce(`${list[0].name}: ${list[0].status.textContent}`);
    else if (done === list.length)
      announce(`All ${done} files corrected in place.`);
    else
      announce(`${done} of ${list.length} files corrected in place; the others' entries say why.`);
  }

  function summarize() {
    const count = (kind) => entries.filter((each) => each.kind === kind).length;
    const parts = [
      [count('wrong'), 'with wrong pages'],
      [count('corrected'), 'corrected'],
      [count('changed'), 'changed since checked'],
      [count('correct'), 'all correct'],
      [count('refused'), 'not accepted'],
      [count('unreadable'), 'unreadable'],
    ].filter(([number]) => number > 0).map(([number, what]) => `${number} ${what}`);
    summary.textContent =
        entries.length === 0 ? '' : `${entries.length} ${entries.length === 1 ? 'file' : 'files'}: ${parts.join(', ')}.`;
    const fixable = entries.filter(downloadable).length;
    const writable = entries.filter(downloadable).filter((each) => each.handle).length;
    actions.hidden = entries.length === 0;
    correctAllButton.hidden = fixable < 2;
    correctAllButton.textContent = `Download all ${fixable} corrected images as one zip archive`;
    writeAllButton.hidden = writable < 2;
    writeAllButton.textContent = `Correct all ${writable} files`;
    downloadNote.hidden = fixable === 0;
    inPlaceNote.hidden = writable === 0;
  }

  // Runs and their results come in the order in which they were asked for.
  let pending = Promise.resolve();
  function queue(task) {
    pending = pending.then(task).catch((error) => {
      summary.textContent = `Something went wrong: ${error.message || error}`;
    });
    return pending;
  }

  // What a button starts is queued once: pressed again before it is done,
  // the button does nothing.
  function once(button, task) {
    if (button.getAttribute('aria-disabled') === 'true')
      return;
    button.setAttribute('aria-disabled', 'true');
    queue(task).then(() => button.removeAttribute('aria-disabled'));
  }

  // items: {name, file} for a file, with the browser's handle to it and to
  // its folder where there are any; {name, failure} for a file that the
  // browser cannot give; {name, refused} for what the page cannot check.
  function take(items) {
    if (items.length === 0)
      return;
    // The browser finds a file's size when first asked, and a hundred sizes
    // asked for at once come several times sooner than between reads.
    const sizes = items.map((item) => (item.file ? item.file.size : 0));
    queue(async () => {
      // The browser reads a file in a task of its own, after any frame that
      // is due: a few files are read ahead, so that many are not read one
      // frame apart.
      const reads = [];
      const readAhead = 16;
      const start = (index) => {
        if (items[index]?.file)
          reads[index] = read(items[index].file, sizes[index]);
        else if (items[index]?.failure)
          reads[index] = {bytes: null, reason: items[index].failure};
      };
      for (let index = 0; index < readAhead; ++index)
        start(index);
      for (const [index, item] of items.entries()) {
        start(index + readAhead);
        if (item.refused)
          settle(addEntry(item.name), 'refused', item.refused);
        else
          await check(item, reads[index]);
        reads[index] = null;
      }
      summarize();
      announce(summary.textContent);
      // On a narrow screen the list would start below the fold.
      if (matchMedia('(max-width: 30rem)').matches)
        summary.scrollIntoView();
    });
  }

  // What take() is given for files and folders that come with handles: a
  // folder stands for every file directly in it.
  async function fromHandles(handles) {
    const items = [];
    const open = async (handle, folder) => {
      try {
        return {name: handle.name, file: await handle.getFile(), handle, folder};
      } catch (error) {
        return {name: handle.name, failure: `${error.message || error}`, folder};
      }
    };
    for (const handle of handles) {
      if (handle.kind === 'file') {
        items.push(open(handle, null));
        continue;
      }
      const files = [];
      for await (const each of handle.values()) {
        if (each.kind === 'file')
          files.push(each);
      }
      files.sort((one, other) => (one.name < other.name ? -1 : one.name > other.name ? 1 : 0));
      if (files.length === 0)
        items.push({name: handle.name, refused: 'A folder with no files directly in it'});
      items.push(...files.map((each) => open(each, handle)));
    }
    return Promise.all(items);
  }

  // Takes the files that a picker of the browser's gives; closed without a
  // choice, it gives none.
  async function pick(picker) {
    try {
      take(await fromHandles([].concat(await picker())));
    } catch (error) {
      if (error.name !== 'AbortError')
        summary.textContent = `The browser could not give the files: ${error.message || error}`;
    }
  }

  chooseButton.addEventListener('click', () => {
    if (inPlace)
      pick(() => showOpenFilePicker({multiple: true}));
    else
      fileInput.click();
  });
  folderButton.hidden = !inPlace || typeof showDirectoryPicker !== 'function';
  folderButton.addEventListener('click', () => pick(() => showDirectoryPicker()));
  if (inPlace)
    element('cannot-write').remove();
  fileInput.addEventListener('change', () => {
    const files = Array.from(fileInput.files);
    fileInput.value = '';  // so that choosing the same file again checks it again
    take(files.map((file) => ({name: file.name, file})));
  });
  correctAllButton.addEventListener('click', () => once(correctAllButton, downloadAll));
  writeAllButton.addEventListener('click', () => once(writeAllButton, () => correctInPlace(entries.filter(
      (each) => downloadable(each) && each.handle), true)));
  clearButton.addEventListener('click', () => queue(() => {
    entries.length = 0;
    results.replaceChildren();
    summarize();
    chooseButton.focus();
    announce('The list is cleared.');
  }));

  // Anything dragged over the page may be dropped anywhere on it.
  document.addEventListener('dragover', (event) => {
    event.preventDefault();
    event.dataTransfer.dropEffect = 'copy';
    document.body.classList.add('dragging');
  });
  document.addEventListener('dragleave', (event) => {
    if (event.relatedTarget === null)
      document.body.classList.remove('dragging');
  });
  document.addEventListener('drop', (event) => {
    event.preventDefault();
    document.body.classList.remove('dragging');
    // All that the drop gives must be taken before it ends; the handles
    // come later. Without a handle, a folder comes as a file that cannot be
    // read; its entry tells.
    const dropped = Array.from(event.dataTransfer.items).filter((item) => item.kind === 'file').map((item) => ({
      handle: inPlace ? item.getAsFileSystemHandle().catch(() => null) : null,
      entry: item.webkitGetAsEntry ? item.webkitGetAsEntry() : null,
      file: item.getAsFile(),
    }));
    (async () => {
      const items = [];
      for (const {handle, entry, file} of dropped) {
        const opened = await handle;
        if (opened)
          items.push(...await fromHandles([opened]));
        else if (entry !== null && entry.isDirectory)
          items.push({name: entry.name, refused: 'A folder: choose or drop the images in it, not the folder'});
        else if (file !== null)
          items.push({name: file.name, file});
      }
      if (items.length === 0)
        summary.textContent = 'Nothing to check was dropped: drop files.';
      take(items);
    })().catch((error) => {
      summary.textContent = `The browser could not give the files: ${error.message || error}`;
    });
  });

  // A run without a file gives the banner, and compiles the tool before any
  // file comes.
  queue(async () => {
    try {
      const run = await runTool(null, null, false);
      const end = run.output.indexOf('\n\n');
      banner = end < 0 ? '' : run.output.slice(0, end + 2);
      bannerView.textContent = banner;
    } catch (error) {
      summary.textContent = `This browser cannot run the tool: ${error.message || error}`;
      chooseButton.disabled = true;
    }
  });
})();
