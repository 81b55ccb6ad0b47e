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
    const code = typeof error.number === 'number' ? ' (0x' + (error.number >>> 0).toString(16).toUpperCase() + ')' : '';
    return (error.message || String(error)) + code;
  }
};
