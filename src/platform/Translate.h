#pragma once
// The texts the program shows, in the user's language. The texts written in the code (Korean
// and English, as the tool has always shown them) are the default and what the C locale gets;
// a gettext catalogue of the domain "tarvisel" gives them in the language of LC_MESSAGES.
// A format goes through Tr before it is filled in, so that the catalogue holds the format.
const char* Tr(const char* text);
