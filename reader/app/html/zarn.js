// What every page of the reader needs: the reader session, reached through the page bridge.
'use strict';

const zarn = {
  session: null,

  // The page's session, made once per page.
  async connect() {
    if (!zarn.session) {
      const bridge = await new ActiveXObject('Pindral.WebPindral');
      zarn.session = await bridge.Session;
    }
    return zarn.session;
  },

  // An element's text, always as text: nothing from a seal or a file becomes markup.
  setText(id, value) {
    document.getElementById(id).textContent = value === null || value === undefined ? '' : String(value);
  },

  // A failure's own words: the HRESULT as the bridge gives it, and its description.
  describe(error) {
    const text = error.message || String(error);
    if (typeof error.number !== 'number') return text;
    const code = '0x' + (error.number >>> 0).toString(16).toUpperCase().padStart(8, '0');
    return text.includes(code) ? text : text + ' (' + code + ')';  // the bridge's own words may hold it
  },

  // A property's value, or the fallback when the object cannot answer it.
  async read(object, name, fallback = '') {
    try {
      const value = await object[name];
      return value === null || value === undefined ? fallback : value;
    } catch (error) {
      return fallback;
    }
  },

  // The serial number as operators write it: "Any Seal" for address 0.
  sealName(address) {
    return address ? 'ZARN S/N ' + address : 'Any Seal';
  },

  // A whole number from an input, within the range a parameter takes; null when it is not one.
  number(id, lowest, highest) {
    const text = document.getElementById(id).value.trim();
    if (!/^\d+$/.test(text)) return null;
    const value = Number(text);
    return value >= lowest && value <= highest ? value : null;
  },

  // The page's result box: a heading line and an optional detail, both as text.
  showMessage(kind, title, detail) {
    const box = document.getElementById('message');
    box.replaceChildren();
    const head = document.createElement('strong');
    head.textContent = title;
    box.appendChild(head);
    if (detail) {
      const more = document.createElement('div');
      more.textContent = detail;
      box.appendChild(more);
    }
    box.className = 'message shown ' + kind;
    box.dataset.kind = kind;
  },

  clearMessage() {
    const box = document.getElementById('message');
    box.replaceChildren();
    box.className = 'message';
    delete box.dataset.kind;
  },

  // While an operation runs: the busy bar with its Cancel (left out where nothing can
  // cancel), and the page's other buttons off. The window keeps serving the page meanwhile,
  // so Cancel reaches the running operation.
  setBusy(caption, cancelable = true) {
    const busy = document.getElementById('busy');
    const shown = caption !== null;
    zarn.setText('busyText', shown ? caption : '');
    busy.classList.toggle('shown', shown);
    document.body.classList.toggle('working', shown);
    for (const button of document.querySelectorAll('button[data-operation]')) button.disabled = shown;
    const cancel = document.getElementById('cancelButton');
    cancel.disabled = !shown;
    cancel.hidden = !cancelable;
  },

  // Whether one of this page's operations runs, and whether its Cancel was clicked. Both are
  // the page's own: the session's flag is cleared when an operation starts, so a cancel
  // given before that would be lost.
  running: false,
  stopRequested: false,

  // Runs one operation of the page. The busy state is taken before anything is awaited, so a
  // second click finds it taken, and it always ends, whatever the work throws. The work
  // answers the result to show as [kind, title, detail].
  async operation({caption, failure, cancelable = true}, work) {
    if (zarn.running) {
      zarn.showMessage('failed', 'Another operation is running.', 'Wait for it to end, or cancel it.');
      return;
    }
    zarn.running = true;
    zarn.stopRequested = false;
    zarn.clearMessage();
    zarn.setBusy(caption, cancelable);
    let result;
    try {
      await (await zarn.connect()).Canceled;  // a cancel from before (the tool bar's, with nothing running)
      result = await work();
    } catch (error) {
      result = ['failed', failure, zarn.describe(error)];
    } finally {
      zarn.running = false;
      zarn.setBusy(null);
    }
    zarn.showMessage(...result);
  },

  // Runs one call of an operation unless a cancel came first (the page's own, or the tool
  // bar's, which only the session knows of); answers what it answered, what it threw (null
  // when nothing), whether it started, and whether a cancel came while it ran.
  async attempt(call) {
    if (zarn.stopRequested || await (await zarn.connect()).Canceled)
      return {value: undefined, error: null, started: false, canceled: true};
    let value, error = null;
    try {
      value = await call();
    } catch (thrown) {
      error = thrown;
    }
    const canceled = await (await zarn.connect()).Canceled;
    return {value, error, started: true, canceled};
  },

  // The Cancel button of the busy bar.
  bindCancel() {
    const button = document.getElementById('cancelButton');
    button.addEventListener('click', async () => {
      if (!zarn.running) return;
      zarn.stopRequested = true;
      button.disabled = true;
      zarn.setText('busyText', 'Canceling\u2026');
      try {
        await (await zarn.connect()).Cancel();
      } catch (error) {
        // The operation's own end shows what went wrong with the session.
      }
    });
  }
};
