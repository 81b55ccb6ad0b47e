// The database page: what the seal data file holds for the seal the operator chose.
// The seal's whole element is read once through the bridge (a read per node would take
// seconds for a long log) and parsed here; every text from the file goes in as text.
'use strict';

const LOGS = [
  {log: 'fo', title: 'Seal events', columns: []},
  {log: 'sys', title: 'System events', columns: [['code', 'Code']]},
  {log: 'soh', title: 'State of health', columns: [
    ['mint', 'Min. temp. (\u00b0C)'], ['maxt', 'Max. temp. (\u00b0C)'], ['ebat', 'Ext. battery (V)'],
    ['mbat', 'Battery (V)'], ['onbat', 'On battery'], ['mvevt', 'Move events']]}
];

const STATUS_LABELS = {
  'operator1': 'Operator 1', 'operator2': 'Operator 2', 'sealwire': 'Sealing wire', 'protection': 'Protection',
  'housing': 'Housing', 'ext-power': 'External power', 'bat-volts': 'Battery voltage (V)',
  'bat-consumed': 'Battery consumed', 'bat-type': 'Battery type', 'bat-id': 'Battery ID',
  'bat-installed': 'Battery installed', 'bat-manufactured': 'Battery manufactured',
  'ebat-volts': 'Ext. battery voltage (V)', 'ebat-consumed': 'Ext. battery consumed',
  'ebat-installed': 'Ext. battery installed', 'ebat-manufactured': 'Ext. battery manufactured',
  'temperature': 'Temperature (\u00b0C)', 'vacenabled': 'VAC enabled', 'vacattach': 'VAC attach',
  'flash-warnings': 'Flash warnings', 'flash-errors': 'Flash errors', 'ram-warnings': 'RAM warnings',
  'ram-errors': 'RAM errors', 't0-offset': 'T0 offset', 'f0-offset': 'F0 offset',
  'laser-threshold': 'Laser threshold', 'laser-500uw': 'Laser 500 \u00b5W', 'laser-peak': 'Laser peak',
  'laser-adjusted': 'Laser adjusted', 'laser-id': 'Laser ID'
};
// These status texts are stored escaped once more than the others; shown as the seal holds them.
const ESCAPED_STATUS = new Set(['bat-type', 'bat-id', 'laser-id']);
const ENTITIES = {'&quot;': '"', '&amp;': '&', '&apos;': "'", '&lt;': '<', '&gt;': '>'};

function unescapeStatus(text) {
  return text.replace(/&(quot|amp|apos|lt|gt);/g, entity => ENTITIES[entity]);
}

// An element made with its class and text; never markup from its arguments.
function el(tag, className, text) {
  const e = document.createElement(tag);
  if (className) e.className = className;
  if (text !== undefined && text !== null) e.textContent = String(text);
  return e;
}

function children(node, name) {
  return Array.from(node.children).filter(c => c.nodeName === name);
}

function dateTime(node) {
  const date = node.getAttribute('date') || '', time = node.getAttribute('time') || '';
  return (date + ' ' + time).trim();
}

// The signature verdict of a log view: its text exactly as the file holds it.
function verdictCell(view) {
  const verified = view.getAttribute('verified');
  if (verified === 'authentic') return el('td', 'authentic', verified);
  if (verified === 'not authentic') return el('td', 'not-authentic', verified);
  if (verified === null) return el('td', 'unchecked', 'not checked');
  return el('td', 'not-authentic', verified);
}

function countBox(number, label, kind) {
  const box = el('div', 'count' + (kind ? ' ' + kind : ''));
  box.append(el('b', '', number), el('span', '', label));
  return box;
}

// Column widths are fixed, so that every page's table lines up under the log's heading.
const PAGE_COLUMNS = [['Page', 56], ['Page time', 172], ['Signature', 150], ['#', 36], ['Date', 100], ['Time', 80]];
const VALUE_WIDTH = 104;
// About the height of one table row, so the space of a page not yet laid out is right.
const ROW_HEIGHT = 23;

function logWidth(layout) {
  return PAGE_COLUMNS.reduce((sum, c) => sum + c[1], 0) + layout.columns.length * VALUE_WIDTH;
}

function gridTable(layout) {
  const table = el('table', 'grid log');
  const columns = el('colgroup');
  for (const [, w] of [...PAGE_COLUMNS, ...layout.columns.map(c => [c[1], VALUE_WIDTH])]) {
    const col = el('col');
    col.style.width = w + 'px';
    columns.append(col);
  }
  table.style.width = logWidth(layout) + 'px';
  table.append(columns);
  return table;
}

// A log as one heading row and a table for each page; a long log is laid out and painted
// only as far as it is scrolled into view.
function logTable(layout, views) {
  const log = document.createDocumentFragment();
  const header = gridTable(layout);
  const head = el('thead');
  const headRow = el('tr');
  for (const title of [...PAGE_COLUMNS.map(c => c[0]), ...layout.columns.map(c => c[1])])
    headRow.append(el('th', '', title));
  head.append(headRow);
  header.append(head);
  log.append(header);
  for (const view of views) {
    const entries = Array.from(view.children);
    const rows = Math.max(entries.length, 1);
    const block = el('div', 'page-block');
    block.style.width = logWidth(layout) + 'px';
    block.style.containIntrinsicSize = logWidth(layout) + 'px ' + rows * ROW_HEIGHT + 'px';
    const table = gridTable(layout);
    const group = el('tbody', view.getAttribute('verified') === 'not authentic' ? 'forged' : '');
    for (let i = 0; i < rows; ++i) {
      const row = el('tr');
      if (i === 0) {
        const pageCells = [el('td', 'page', view.getAttribute('no')), el('td', '', dateTime(view)), verdictCell(view)];
        for (const cell of pageCells) {
          cell.rowSpan = rows;
          row.append(cell);
        }
      }
      const entry = entries[i];
      if (entry) {
        row.append(el('td', 'muted', entry.getAttribute('index')), el('td', '', entry.getAttribute('date')),
                   el('td', '', entry.getAttribute('time')));
        for (const [name] of layout.columns) row.append(el('td', '', entry.getAttribute(name)));
      } else {
        const none = el('td', 'muted', 'no entries');
        none.colSpan = 3 + layout.columns.length;
        row.append(none);
      }
      group.append(row);
    }
    table.append(group);
    block.append(table);
    log.append(block);
  }
  return log;
}

function statusSection(status) {
  const section = el('section');
  const view = children(status, 'plain')[0];
  section.append(el('h3', '', 'Status'));
  if (!view) {
    section.append(el('p', 'muted', 'The status record could not be decrypted.'));
    return section;
  }
  section.lastChild.append(el('span', 'muted', ' \u00b7 ' + dateTime(view)));
  const grid = el('div', 'status-grid');
  for (const field of Array.from(view.children)) {
    const name = field.nodeName;
    const text = ESCAPED_STATUS.has(name) ? unescapeStatus(field.textContent) : field.textContent;
    const line = el('div');
    line.append(el('span', '', STATUS_LABELS[name] || name), el('span', '', text));
    grid.append(line);
  }
  section.append(grid);
  return section;
}

function padSection(pads) {
  const section = el('section');
  section.append(el('h3', '', pads.length === 1 ? 'Pad' : 'Pads (' + pads.length + ')'));
  for (const pad of pads) {
    const view = children(pad, 'plain')[0];
    if (view) section.append(el('pre', 'pad', view.textContent));
    else section.append(el('p', 'muted', 'This pad could not be decrypted.'));
  }
  return section;
}

// One key-set: its status, pads and the three logs. Returns its page counts.
function keysetSection(key, totals) {
  const section = el('section', 'keyset');
  const heading = el('h2', '', 'Key-set ' + (key.getAttribute('no') || '(none)'));
  const keyTime = dateTime(key);
  if (keyTime) heading.append(el('span', 'muted', ' \u00b7 ' + keyTime));
  section.append(heading);

  const status = children(key, 'status')[0];
  if (status) section.append(statusSection(status));
  const pads = children(key, 'pad');
  if (pads.length) section.append(padSection(pads));

  const views = children(key, 'page').map(page => children(page, 'plain')[0]);
  const undecrypted = views.filter(v => !v).length;
  for (const layout of LOGS) {
    const ofLog = views.filter(v => v && v.getAttribute('log') === layout.log)
                       .sort((a, b) => Number(a.getAttribute('no')) - Number(b.getAttribute('no')));
    if (!ofLog.length) continue;
    const good = ofLog.filter(v => v.getAttribute('verified') === 'authentic').length;
    const bad = ofLog.filter(v => v.getAttribute('verified') === 'not authentic').length;
    totals.pages += ofLog.length;
    totals.authentic += good;
    totals.forged += bad;
    const title = el('h3', '', layout.title);
    title.append(el('span', 'muted', ' \u00b7 ' + ofLog.length + (ofLog.length === 1 ? ' page' : ' pages') +
                                     (bad ? ', ' + bad + ' not authentic' : '')));
    section.append(title, logTable(layout, ofLog));
  }
  if (undecrypted) {
    totals.pages += undecrypted;
    section.append(el('p', 'error', undecrypted + (undecrypted === 1 ? ' page' : ' pages') +
                                    ' could not be decrypted with this key-set.'));
  }
  if (!status && !pads.length && !views.length) section.append(el('p', 'muted', 'Nothing read with this key-set yet.'));
  return section;
}

function notice(text) {
  const box = document.getElementById('notice');
  box.textContent = text;
  box.hidden = false;
}

// Marks the page as shown once the browser has painted what was built, with the time
// since the page was opened.
function painted(state) {
  requestAnimationFrame(() => requestAnimationFrame(() => {
    document.body.dataset.shownAfter = Math.round(performance.now());
    document.body.dataset.state = state;
  }));
}

async function show() {
  const session = await zarn.connect();
  const serial = await session.SerialNumber;
  // SerialNumber is a signed 32-bit value; the file stores the unsigned form.
  if (!Number.isInteger(serial) || serial < -2147483648 || serial > 2147483647) throw new Error('Unexpected serial number.');
  if (serial === -1) {
    zarn.setText('title', 'Database');
    zarn.setText('subtitle', '');
    notice('Choose a seal in the Database view to see what the seal data file holds for it.');
    return 'empty';
  }
  const sn = serial >>> 0;
  zarn.setText('title', zarn.sealName(sn));
  const doc = await session.Document;
  // Compared as a number: a file may write the serial with leading zeros.
  const found = await doc.selectNodes('/zarn/seal[number(@sn)=' + sn + ']');
  const count = await found.length;
  if (!count) {
    zarn.setText('subtitle', '');
    notice('The seal data file holds nothing for seal ' + sn + '.');
    return 'empty';
  }
  if (count > 1) notice('The seal data file lists this seal ' + count + ' times; the key-sets of every entry are shown.');
  const keys = [];
  for (let i = 0; i < count; ++i) {
    const parsed = new DOMParser().parseFromString(await (await found.item(i)).xml, 'application/xml');
    if (parsed.getElementsByTagName('parsererror').length) throw new Error('The seal data could not be read.');
    keys.push(...children(parsed.documentElement, 'key'));
  }

  const totals = {pages: 0, authentic: 0, forged: 0};
  const list = document.createDocumentFragment();
  for (const key of keys) list.append(keysetSection(key, totals));
  zarn.setText('subtitle', 'From the seal data file: key-sets, log pages with their signatures, status and pads.');
  const summary = document.getElementById('summary');
  summary.append(countBox(keys.length, keys.length === 1 ? 'key-set' : 'key-sets'),
                 countBox(totals.pages, 'log pages'),
                 countBox(totals.authentic, 'authentic', 'good'),
                 countBox(totals.forged, 'not authentic', totals.forged ? 'bad' : ''));
  document.getElementById('keysets').append(list);
  return 'ready';
}

show().then(painted, error => {
  zarn.setText('subtitle', '');
  notice('The seal data file could not be read: ' + zarn.describe(error));
  painted('failed');
});
