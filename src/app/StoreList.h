#pragma once
// A report list as the view of a message store: row r shows record r's sender and subject.
#include <string>

class MessageStore;
class QTreeWidget;

namespace storelist {

// Adds rows for records from..Count()-1 in one go; returns the first row's failure text.
std::string AddRows(QTreeWidget* list, const MessageStore& store, int from);
// Every row anew, the newest shown; then the first damaged record is reported.
void Rebuild(QTreeWidget* list, const MessageStore& store);
// After a load: the rows of what could be read, the newest shown, nothing selected.
void Fill(QTreeWidget* list, const MessageStore& store);
// After records were appended only the missing rows are added. The new row, the message
// now on display, becomes the selected one, so that Reply and Delete never act on an older
// row the user no longer sees.
void CatchUp(QTreeWidget* list, const MessageStore& store);
// The selected row, or -1.
int SelectedRow(const QTreeWidget* list);
// Removes a row and leaves nothing selected, so a second Delete cannot hit the next message.
void RemoveRow(QTreeWidget* list, int row);
// After a save that merged a change made behind the program's back, the rows no longer
// match the records: they are built anew. The status text to show then, or empty.
std::string ShowMerged(QTreeWidget* list, MessageStore& store);

}  // namespace storelist
