#pragma once
// A report list as the view of a message store: row r shows record r's sender and subject.
#include <string>

class Dialogs;
class MessageStore;
class ReportList;

namespace storelist {

// Rows for the records the store has beyond those the list shows, in one go.
void AddRows(ReportList* list);
// Every row anew, the newest shown; then the first damaged record is reported.
void Rebuild(ReportList* list, const MessageStore& store);
// After a load: the rows of what could be read, the newest shown, nothing selected.
void Fill(ReportList* list, const MessageStore& store);
// After records were appended only the missing rows are added. The new row, the message
// now on display, becomes the selected one, so that Reply and Delete never act on an older
// row the user no longer sees.
void CatchUp(ReportList* list);
// The selected row, or -1.
int SelectedRow(const ReportList* list);
// Removes a row while the store deletes its record, and leaves nothing selected, so a
// second Delete cannot hit the next message.
void RemoveRow(ReportList* list, int row, MessageStore& store);
// Every row goes while the store deletes every record, even when the store then fails to
// write: it no longer shows the records.
void RemoveAll(ReportList* list, MessageStore& store);
// After a save that merged a change made behind the program's back, the rows no longer
// match the records: they are built anew. The status text to show then, or empty.
std::string ShowMerged(ReportList* list, MessageStore& store);
// Delete on a store list: the selected record goes, without a question. The status text of
// a merge, or empty.
std::string DeleteSelected(ReportList* list, MessageStore& store);
// Delete All on a store list, after the user said Yes; the root stays. As above.
std::string DeleteAll(ReportList* list, MessageStore& store, Dialogs& ask);

}  // namespace storelist
