#pragma once

class TReader;

// Pumps the event queue and polls the reader until the awaited reply has come (true) or its
// reply timer has expired (false). Between events it sleeps in the event loop, woken by the
// reader's socket, a timer or a window event, so a wait costs next to no CPU.
bool WaitForReply(TReader& Reader);
