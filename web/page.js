// The page's own script. Each file chosen or dropped is handed to the tool,
// compiled to WebAssembly (createTolvek comes from the script before this
// one), and what the tool prints is shown as it printed it. ASCII only: the
// rest as \u escapes.
'use strict';
(() => {
  // The tool reads one byte more than the largest image that it accepts, so
  // that a longer file is refused; nothing past that is ever read.
  const readLimit = 32769;
  // Every run has a file system of its own; the file lies in a folder of
  // its own there, so that no name meets the system's own (tmp, dev, ...).
  const folder = '/input';

  const element = (id) => document.getElementById(id);
  const chooseButton = element('choose');
  const fileInput = element('files');
  const bannerView = element('banner');
  const summary = element('summary');
  const allBar = element('all');
  const correctAllButton = element('correct-all');
  const downloadNote = element('download-note');
  const results = element('results');

  let banner = '';
  const checked = [];  // every file shown, with its kind of result
  const wrongFiles = [];  // those with wrong pages: {name, bytes, correction}

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

  function show(tag, className, text) {
    const view = document.createElement(tag);
    view.className = className;
    view.textContent = text;
    return view;
  }

  // A file's entry in the list, named as text, never as markup.
  function addEntry(name) {
    const item = document.createElement('li');
    item.className = 'file';
    item.setAttribute('aria-busy', 'true');
    const status = show('p', 'status', 'Checking\u2026');
    item.append(show('h2', 'name', name), status);
    results.append(item);
    return {item, status};
  }

  function settle(entry, kind, text) {
    entry.item.classList.add(kind);
    entry.status.textContent = text;
    entry.item.removeAttribute('aria-busy');
    checked.push(kind);
  }

  function download(name, bytes) {
    const url = URL.createObjectURL(new Blob([bytes], {type: 'application/octet-stream'}));
    const link = document.createElement('a');
    link.href = url;
    link.download = name;
    link.click();
    setTimeout(() => URL.revokeObjectURL(url), 60000);
  }

  async function correct(file) {
    const run = await runTool(file.name, file.bytes, true);
    file.correction.textContent = reportOf(run.output);
    file.correction.hidden = false;
    if (run.image !== null)
      download(file.name, run.image);
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

  async function check(file, reading) {
    const entry = addEntry(file.name);
    const {bytes, reason} = await reading;
    let run;
    try {
      run = await runTool(file.name, bytes, false);
    } catch (error) {
      settle(entry, 'refused', `The tool could not run: ${error.message || error}`);
      return;
    }
    const report = reportOf(run.output);
    entry.item.append(show('pre', 'report', report));
    if (bytes === null) {
      // The tool tried to open a file that is not there, as for a file that
      // a command line cannot read, and said so.
      entry.item.append(show('p', 'reason', reason));
      settle(entry, 'unreadable', 'Cannot be read');
      return;
    }
    if (run.status !== 0) {
      const message = lines(report).pop() || `exit status ${run.status}`;
      settle(entry, 'refused', `Not an image that tolvek accepts: ${message}`);
      return;
    }
    const wrong = lines(report).filter((line) => line.startsWith('checksum error in page ')).length;
    if (wrong === 0) {
      settle(entry, 'correct', 'All pages correct');
      return;
    }
    const wrongFile = {name: file.name, bytes, correction: show('pre', 'correction', '')};
    wrongFile.correction.hidden = true;
    const button = show('button', 'fix', 'Download the corrected image');
    button.type = 'button';
    button.addEventListener('click', () => queue(() => correct(wrongFile)));
    entry.item.append(button, wrongFile.correction);
    wrongFiles.push(wrongFile);
    settle(entry, 'wrong', wrong === 1 ? '1 page wrong' : `${wrong} pages wrong`);
  }

  function addFolder(name) {
    settle(addEntry(name), 'refused', 'A folder: choose or drop the images in it, not the folder');
  }

  function summarize() {
    const count = (kind) => checked.filter((each) => each === kind).length;
    const parts = [
      [count('wrong'), 'with wrong pages'],
      [count('correct'), 'all correct'],
      [count('refused'), 'not accepted'],
      [count('unreadable'), 'unreadable'],
    ].filter(([number]) => number > 0).map(([number, what]) => `${number} ${what}`);
    summary.textContent =
        `${checked.length} ${checked.length === 1 ? 'file' : 'files'}: ${parts.join(', ')}.`;
    const wrong = wrongFiles.length;
    allBar.hidden = wrong < 2;
    downloadNote.hidden = wrong === 0;
    correctAllButton.textContent = `Download all ${wrong} corrected images`;
  }

  // Runs and their results come in the order in which they were asked for.
  let pending = Promise.resolve();
  function queue(task) {
    pending = pending.then(task).catch((error) => {
      summary.textContent = `Something went wrong: ${error.message || error}`;
    });
    return pending;
  }

  // items: File objects, or {folder: name} for a dropped folder.
  function take(items) {
    if (items.length === 0)
      return;
    // The browser finds a file's size when first asked, and a hundred sizes
    // asked for at once come several times sooner than between reads.
    const sizes = items.map((item) => (item instanceof File ? item.size : 0));
    queue(async () => {
      // The browser reads a file in a task of its own, after any frame that
      // is due: a few files are read ahead, so that many are not read one
      // frame apart.
      const reads = [];
      const readAhead = 16;
      const start = (index) => {
        if (items[index] instanceof File)
          reads[index] = read(items[index], sizes[index]);
      };
      for (let index = 0; index < readAhead; ++index)
        start(index);
      for (const [index, item] of items.entries()) {
        start(index + readAhead);
        if (item instanceof File)
          await check(item, reads[index]);
        else
          addFolder(item.folder);
        reads[index] = null;
      }
      summarize();
    });
  }

  chooseButton.addEventListener('click', () => fileInput.click());
  fileInput.addEventListener('change', () => {
    const files = Array.from(fileInput.files);
    fileInput.value = '';  // so that choosing the same file again checks it again
    take(files);
  });

  // Chromium drops downloads past the tenth that a page starts at once;
  // spaced out, they all come through.
  const pause = () => new Promise((resolve) => setTimeout(resolve, 200));
  correctAllButton.addEventListener('click', () => {
    for (const file of wrongFiles.slice())
      queue(() => correct(file).then(pause));
  });

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
    const transfer = event.dataTransfer;
    const items = [];
    // A folder comes as a file that cannot be read; its entry tells.
    for (const item of transfer.items) {
      if (item.kind !== 'file')
        continue;
      const entry = item.webkitGetAsEntry ? item.webkitGetAsEntry() : null;
      const file = item.getAsFile();
      if (entry !== null && entry.isDirectory)
        items.push({folder: entry.name});
      else if (file !== null)
        items.push(file);
    }
    if (items.length === 0)
      summary.textContent = 'Nothing to check was dropped: drop files.';
    take(items);
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
