// keys: a browser key event as the Windows virtual-key code the host injects. Browsers report the
// legacy keyCode with the Windows values for nearly every key; the physical key name fills the gaps.
const BY_CODE = {
  ShiftLeft: 0x10, ShiftRight: 0x10, ControlLeft: 0x11, ControlRight: 0x11, AltLeft: 0x12, AltRight: 0x12,
  MetaLeft: 0x5b, MetaRight: 0x5c, ContextMenu: 0x5d, Backspace: 0x08, Tab: 0x09, Enter: 0x0d, NumpadEnter: 0x0d,
  Escape: 0x1b, Space: 0x20, PageUp: 0x21, PageDown: 0x22, End: 0x23, Home: 0x24, ArrowLeft: 0x25, ArrowUp: 0x26,
  ArrowRight: 0x27, ArrowDown: 0x28, PrintScreen: 0x2c, Insert: 0x2d, Delete: 0x2e, CapsLock: 0x14,
  NumLock: 0x90, ScrollLock: 0x91, Pause: 0x13, Minus: 0xbd, Equal: 0xbb, BracketLeft: 0xdb, BracketRight: 0xdd,
  Backslash: 0xdc, Semicolon: 0xba, Quote: 0xde, Backquote: 0xc0, Comma: 0xbc, Period: 0xbe, Slash: 0xbf,
  IntlBackslash: 0xe2, NumpadMultiply: 0x6a, NumpadAdd: 0x6b, NumpadSubtract: 0x6d, NumpadDecimal: 0x6e,
  NumpadDivide: 0x6f,
};

export function virtualKey(e) {
  if (e.keyCode && e.keyCode !== 229) return e.keyCode;   // 229: the key belongs to a composition
  const c = e.code || '';
  if (BY_CODE[c]) return BY_CODE[c];
  let m = c.match(/^Key([A-Z])$/);
  if (m) return m[1].charCodeAt(0);
  if ((m = c.match(/^Digit([0-9])$/))) return 0x30 + Number(m[1]);
  if ((m = c.match(/^Numpad([0-9])$/))) return 0x60 + Number(m[1]);
  if ((m = c.match(/^F([0-9]{1,2})$/)) && Number(m[1]) >= 1 && Number(m[1]) <= 24) return 0x6f + Number(m[1]);
  return 0;
}
