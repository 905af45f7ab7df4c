// The receive and send sessions of the window: the connect buttons and the mail components.
#include "corvane.h"

void Tpopform::createMailComponents() {}
void Tpopform::abortMailComponents() {}

void Tpopform::inconnectClick() {}
void Tpopform::indisconnectClick() {}
void Tpopform::outconnectClick() {}
void Tpopform::outdisconnectClick() {}
void Tpopform::gosendClick() {}
