// Whether the access server counts as reachable.  Set by the start-up
// "poweron", cleared by a failed card or event exchange, set again only by
// a successful probe; read by every thread.
#pragma once

bool ServerOnline();
void SetServerOnline(bool online);
