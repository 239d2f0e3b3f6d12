// Asking the X server to repaint its screen, for pixels EVDI lost: a grab
// that fails (a rectangle beyond the buffer after a mode decrease, or left on
// a card by its previous client; a framebuffer of another size than the
// mode) takes the damage with it, and nothing else brings those pixels back.
// xrefresh (x11-xserver-utils) makes every window repaint; it is run the way
// xrandr is, through the PATH.
#pragma once

// Runs xrefresh soon on a thread of its own, so no render or event thread
// waits for the X server; requests made before it has started make one run.
void ask_desktop_repaint();
