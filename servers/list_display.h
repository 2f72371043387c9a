// What the server table and the engine ask of the list that shows the servers. The window
// code supplies it; the tests record it.
#pragma once

// Brings every row up to date with the table and clears the dirty marks. Full mode also
// inserts, deletes and renames rows; texts-only mode rewrites the two value columns.
void RefreshListRows(bool textsOnly);
// Redraws the rows whose slot is marked dirty, then re-sorts.
void RefreshDirtyRows();
void SortRows();
