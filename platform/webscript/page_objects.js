// Page script's side of the automation objects: `new ActiveXObject(progId)` and the
// objects it gives answer by promises. Runs in every page; without the channel (a page
// outside the program's pages) it leaves nothing behind.
(function () {
  'use strict';
  if (typeof qt === 'undefined' || !qt.webChannelTransport) return;
  const pending = new Map();
  let lastCall = 0;
  let host = null;  // the channel's object, once the channel is up

  new QWebChannel(qt.webChannelTransport, channel => {
    host = channel.objects.zarnPageObjects;
    host.reply.connect((call, answer) => {
      const waiting = pending.get(call);
      if (!waiting) return;
      pending.delete(call);
      if (answer.error) waiting.reject(failed(answer.error.number, answer.error.message));
      else waiting.resolve(fromHost(answer.value));
    });
    pump();
  });

  // What the page asks goes out in the order it asked, whatever the object, so the host
  // sees reads, calls, writes and releases in that order. An entry's request is undefined
  // while it is not known yet (a member named, not yet read or called) and null when there
  // is nothing to send; the entries behind it wait.
  const queue = [];

  // A property write cannot hand script a promise, so each object keeps the outcomes of its
  // writes since its last read or call: that next use waits for them and, when one failed,
  // rejects with the first failure instead of running.
  const writes = new Map();  // object id -> {outcomes: [Error or null], unanswered: count}

  function enter(request = undefined) {
    const entry = {request};
    queue.push(entry);
    pump();
    return entry;
  }

  function decide(entry, request) {
    entry.request = request;
    pump();
  }

  // The head entry leaves the queue before it is sent, and whatever sending sets off (a
  // member named meanwhile) only adds to the queue: a request goes out once, whatever happens.
  let pumping = false;
  function pump() {
    if (pumping) return;
    pumping = true;
    try {
      while (host && queue.length) {
        const request = queue[0].request;
        if (request === undefined || (request && waitsForWrites(request))) return;
        queue.shift();
        if (request) go(request);
      }
    } finally {
      pumping = false;
    }
  }

  // A write that keeps the window's loop running may answer after a later one: the object's
  // next read or call waits for all of them.
  function waitsForWrites({method, id}) {
    const state = writes.get(id);
    return method !== 'put' && method !== 'release' && state !== undefined && state.unanswered > 0;
  }

  function go(request) {
    const {method, id} = request;
    if (method === 'release') {
      writes.delete(id);
      host.release(id);
      return;
    }
    let state = writes.get(id);
    if (method === 'put') {
      if (!state) writes.set(id, (state = {outcomes: [], unanswered: 0}));
      const index = state.outcomes.push(null) - 1;
      ++state.unanswered;
      const answered = error => {
        state.outcomes[index] = error;
        if (--state.unanswered === 0) pump();
      };
      send(request, {
        resolve: () => answered(null),
        reject: error => {
          // Told at once too: the page may never use the object again.
          console.error('A property write failed: ' + error.message);
          answered(error);
        }
      });
      return;
    }
    if (state) {
      writes.delete(id);
      const failure = state.outcomes.find(outcome => outcome);
      if (failure) return request.reject(failure);
    }
    send(request, request);
  }

  // A request that cannot go out fails alone: its answer is the error, not the page's bridge.
  function send({method, id, args}, answer) {
    const call = ++lastCall;
    pending.set(call, answer);
    try {
      if (id === undefined) host[method](call, ...args);
      else host[method](call, id, ...args);
    } catch (error) {
      pending.delete(call);
      answer.reject(failed(TypeMismatch, 'The request could not be sent: ' + error.message));
    }
  }

  // The promise of the answer to a request that takes the entry's place.
  function ask(entry, method, id, ...args) {
    return new Promise((resolve, reject) => decide(entry, {method, id, args, resolve, reject}));
  }

  const TypeMismatch = 0x80020005 | 0;  // DISP_E_TYPEMISMATCH

  function failed(number, message) {
    const error = new Error(message);
    error.number = number;
    return error;
  }

  // A member keeps its place from where it was named to the end of the task, since an
  // awaited member is read only after the code that follows the await has run. Not read by
  // then, it gives the place up, and a later read goes to the end of the queue.
  const places = [];
  const endOfTask = new MessageChannel();  // not held back as a timer is in a hidden page
  endOfTask.port1.onmessage = () => {
    for (const place of places.splice(0)) if (place.request === undefined) place.request = null;
    pump();
  };

  function keepPlace() {
    const place = enter();
    if (places.push(place) === 1) endOfTask.port2.postMessage(null);
    return place;
  }

  // An object script no longer reaches is released with it, after what was asked of it.
  const released = new FinalizationRegistry(id => enter({method: 'release', id}));
  const ObjectKey = '__zarnObject';

  // What the host takes: a number, a string, a boolean, null, or an object of this page's
  // bridge. Anything else is refused here, before it is queued: a function would be taken by
  // the channel for a callback and the request would never be answered, and a BigInt, a
  // cyclic value or a bridge object nested in an array cannot be encoded.
  function toHost(value, what) {
    switch (typeof value) {
      case 'undefined':
      case 'boolean':
      case 'number':
      case 'string':
        return value;
      case 'object':
        if (value === null) return value;
        if (value[ObjectKey]) return {[ObjectKey]: value[ObjectKey]};
        break;
    }
    const kind = typeof value === 'function' ? 'a function'
               : typeof value === 'bigint' ? 'a BigInt'
               : typeof value === 'symbol' ? 'a symbol'
               : Array.isArray(value) ? 'an array' : 'an object';
    throw failed(TypeMismatch, `Type mismatch: ${what} cannot be ${kind}; ` +
                               'it takes a number, a string, a boolean, null or an automation object');
  }

  function fromHost(value) {
    return value !== null && typeof value === 'object' && ObjectKey in value ? wrap(value[ObjectKey]) : value;
  }

  // A member is both: awaited, its value is read where it was named; called, the method
  // runs in the call's turn.
  function member(id, name) {
    let place = keepPlace();
    const unread = () => {
      const kept = place.request === undefined ? place : null;
      place = {request: null};
      return kept;
    };
    const call = (...args) => {
      const kept = unread();
      if (kept) decide(kept, null);
      let sent;
      try {
        sent = args.map((arg, i) => toHost(arg, `argument ${i + 1} of ${name}`));
      } catch (error) {
        return Promise.reject(error);
      }
      return ask(enter(), 'invoke', id, name, sent);
    };
    call.then = (resolved, rejected) => ask(unread() || enter(), 'get', id, name).then(resolved, rejected);
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
      // A value the host cannot take is thrown where it is written; nothing goes out.
      set(target, name, value) {
        enter({method: 'put', id, args: [String(name), toHost(value, String(name))]});
        return true;
      }
    });
    released.register(object, id);
    return object;
  }

  window.ActiveXObject = function (progId) { return ask(enter(), 'create', undefined, String(progId)); };
})();
