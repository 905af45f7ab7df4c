#pragma once
// The window's keyboard short-cuts. Each one does what a click on its control does, so
// the control's handler stays the one place that acts:
//   Ctrl+Enter  sends (gosend), on the Write Mail page
//   F5          receives (inconnect)
//   Ctrl+R      replies to the selected inbox message (mailreply)
//   Delete      deletes the selected message of the list with the focus, as its menu's Delete
//   Enter       on a list shows its selected row, as a double click does
struct TpopformControls;

void BindWindowKeys(TpopformControls& controls);
