// Page script's side of the automation objects: `new ActiveXObject(progId)` and the
// objects it gives answer by promises. Runs in every page; without the channel (a page
// outside the program's pages) it leaves nothing behind.
(function () {
  'use strict';
  if (typeof qt === 'undefined' || !qt.webChannelTransport) return;
  const transport = qt.webChannelTransport;
  const pending = new Map();
  let lastCall = 0;

  const host = new Promise(resolve => {
    new QWebChannel(transport, channel => {
      const objects = channel.objects.zarnPageObjects;
      objects.reply.connect((call, answer) => {
        const waiting = pending.get(call);
        if (!waiting) return;
        pending.delete(call);
        if (answer.error) {
          const error = new Error(answer.error.message);
          error.number = answer.error.number;
          waiting.reject(error);
        } else {
          waiting.resolve(fromHost(answer.value));
        }
      });
      resolve(objects);
    });
  });

  function request(method, ...args) {
    return host.then(objects => new Promise((resolve, reject) => {
      const call = ++lastCall;
      pending.set(call, {resolve, reject});
      objects[method](call, ...args);
    }));
  }

  // A property write cannot hand script a promise, so each object keeps its writes not yet
  // answered and the first failure of one nobody has seen: the object's next read or call
  // waits for those writes and, when one failed, rejects with its error instead of running.
  const writes = new Map();  // object id -> {unanswered: Promise or null, failure: Error or null}

  function write(id, name, value) {
    let state = writes.get(id);
    if (!state) writes.set(id, (state = {unanswered: null, failure: null}));
    const answered = request('put', id, name, value).then(() => {}, error => {
      if (!state.failure) state.failure = error;
      // Told at once too: the page may never use the object again.
      console.error('A property write failed: ' + error.message);
    });
    // A write that keeps the window's loop running may answer after a later one.
    const all = state.unanswered ? Promise.all([state.unanswered, answered]) : answered;
    state.unanswered = all;
    all.then(() => {
      if (state.unanswered === all) state.unanswered = null;
    });
  }

  // A read or call of an object, behind its unanswered writes.
  function use(id, method, ...args) {
    const state = writes.get(id);
    if (!state) return request(method, id, ...args);
    const run = () => {
      const failure = state.failure;
      if (!failure) return request(method, id, ...args);
      state.failure = null;
      return Promise.reject(failure);
    };
    return state.unanswered ? state.unanswered.then(run) : run();
  }

  // An object script no longer reaches is released with it.
  const released = new FinalizationRegistry(id => {
    writes.delete(id);
    host.then(objects => objects.release(id));
  });
  const ObjectKey = '__zarnObject';

  function toHost(value) {
    return value !== null && typeof value === 'object' && value[ObjectKey] ? {[ObjectKey]: value[ObjectKey]} : value;
  }

  function fromHost(value) {
    return value !== null && typeof value === 'object' && ObjectKey in value ? wrap(value[ObjectKey]) : value;
  }

  // A member is both: awaited, its value is read; called, the method runs.
  function member(id, name) {
    const call = (...args) => use(id, 'invoke', name, args.map(toHost));
    call.then = (resolved, rejected) => use(id, 'get', name).then(resolved, rejected);
    return call;
  }

  function wrap(id) {
    const object = new Proxy(Object.create(null), {
      get(target, name) {
        if (name === ObjectKey) return id;
        // Not a promise itself, so that an async function can return the object.
        if (typeof name !== 'string' || name === 'then') return undefined;
        return member(id, name);
      },
      set(target, name, value) {
        write(id, String(name), toHost(value));
        return true;
      }
    });
    released.register(object, id);
    return object;
  }

  window.ActiveXObject = function (progId) { return request('create', String(progId)); };
})();
