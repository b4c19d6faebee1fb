#pragma once
// Reading files of the source tree and the fenced code blocks of a Markdown
// text (README.md), for tests that check what the documentation tells an
// operator still works. Plain functions over values; thread-safe.

#include <string>
#include <vector>

// The content of the file at `path`; empty when it cannot be read.
std::string readTextFile(const std::string& path);

// The ```<language> blocks of `markdown`, in order: each the lines between
// its fences, every line ending in '\n'. A block left open at the end of the
// text is not one.
std::vector<std::string> codeBlocks(const std::string& markdown, const std::string& language);

// The statements of the ```sql blocks of `markdown`, in order: the lines up
// to one that ends in ';', joined by '\n', without that ';'.
std::vector<std::string> sqlStatements(const std::string& markdown);
