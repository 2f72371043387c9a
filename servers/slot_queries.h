// What the server table asks of the queries that run on its slots. The query engine, one
// layer up, owns the queries and supplies these, so the table never reaches up into it.
#pragma once

// The slot's list row is out of date (its name, status or results changed).
void MarkSlotChanged(int slot);
// Ends the slot's query, if one is open, as "Interrupted": done before a slot is dropped, so
// that a late outcome cannot land on whatever takes the slot next.
void InterruptSlotQuery(int slot);
// Ends every open query as "Interrupted" and carries out the end of their run at once, so that
// its consensus (whose finished servers still correct the clock) has judged the servers before
// the table changes under it. It may wait (the broadcast of the new time).
void StopRuns();
