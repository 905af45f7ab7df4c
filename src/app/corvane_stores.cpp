// The inbox store, the outbox store and the address book of the window.
#include "corvane.h"

void Tpopform::loadInboxStore() {}
void Tpopform::loadAddressBook() {}
void Tpopform::loadOutboxStore() {}

void Tpopform::popsaveClick() {}
void Tpopform::makepophistClick() {}
void Tpopform::pophistlistDblClick() {}
void Tpopform::Delete1Click() {}
void Tpopform::DeleteAll1Click() {}
void Tpopform::SaveInMessageAs1Click() {}
void Tpopform::mailreplyClick() {}

void Tpopform::outsaveClick() {}
void Tpopform::makehistlistClick() {}
void Tpopform::sendhistlistDblClick() {}
void Tpopform::MenuItem1Click() {}
void Tpopform::MenuItem2Click() {}
void Tpopform::LoadOutMessage1Click() {}

void Tpopform::addnewaddrClick() {}
void Tpopform::deladdrClick() {}
void Tpopform::addmailtoClick() {}
void Tpopform::delmailtoClick() {}
void Tpopform::addattClick() {}
void Tpopform::delattClick() {}
