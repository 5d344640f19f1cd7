// The run's stage and percentage in a small file, for a program that watches
// the run: the parent of a /GANG= run shows a live line per port from the
// files its children keep (/PROGRESS=<file>).
//
// The file holds one record of fixed length, rewritten in place: a sequence
// number, the percentage (-1 outside a pass that has one), the stage, and the
// sequence number again. A reader that catches a rewrite half done sees two
// different numbers and keeps what it had.
#pragma once

// Makes `path` the run's status file: a new or empty file, or one that holds
// a status record; a file that holds anything else is never written. false
// when it is refused or cannot be opened.
bool ui_status_open(const char* path);
// Rewrites the record when the stage or the percentage has changed.
void ui_status_note(const char* stage, int percent);
// The record another process keeps in `path`: true with the stage (cut to
// `size`) and the percentage when a whole record is there.
bool ui_status_read(const char* path, char* stage, int size, int* percent);
