// What the application side serves and the host side expects.

export const SERVER_NAME = 'interop-application';
export const RESOURCE_URI = 'torvela://notes/today';
export const RESOURCE_TEXT = 'Bugünün notu: çay demlendi ☕ — İyi çalışmalar!\nİkinci satır.';
// How long the `slow` tool runs unless its connection closes first.
export const SLOW_MS = 20_000;
