'use strict';
// Loads the native addon: the file named by NORVI_WEB_AUTH_ADDON (the build tree and the test
// suites set it), otherwise macos_web_auth_session.node beside this file (the packaged layout).
const path = require('node:path');

const addonPath =
  process.env.NORVI_WEB_AUTH_ADDON || path.join(__dirname, 'macos_web_auth_session.node');

const addon = require(addonPath);

module.exports = { start: addon.start, cancel: addon.cancel };
