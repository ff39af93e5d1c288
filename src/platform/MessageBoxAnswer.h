#pragma once
// Which answers a message box can give for its buttons, and the harmless one to give when
// nobody answers: No for a question, OK for a notice.
#include <string>

bool IsPossibleAnswer(unsigned type, int answer);
int SafeAnswer(unsigned type);
// "IDOK", "IDYES", ... for journals and logs.
std::string AnswerName(int answer);
