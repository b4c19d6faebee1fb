#include "markdown_blocks.h"

#include <fstream>
#include <sstream>

std::string readTextFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

std::vector<std::string> codeBlocks(const std::string& markdown, const std::string& language) {
    std::vector<std::string> blocks;
    std::istringstream lines(markdown);
    std::string line;
    std::string current;
    bool inBlock = false;
    while (std::getline(lines, line)) {
        if (line.rfind("```", 0) == 0) {
            if (inBlock)
                blocks.push_back(current);
            // A fence of another language opens nothing, and what follows
            // up to its closing fence is skipped.
            inBlock = !inBlock && line == "```" + language;
            current.clear();
            continue;
        }
        if (inBlock)
            current += line + "\n";
    }
    return blocks;
}

std::vector<std::string> sqlStatements(const std::string& markdown) {
    std::vector<std::string> statements;
    std::string current;
    for (const std::string& block : codeBlocks(markdown, "sql")) {
        std::istringstream lines(block);
        for (std::string line; std::getline(lines, line);) {
            current += (current.empty() ? "" : "\n") + line;
            if (!line.empty() && line.back() == ';') {
                current.pop_back();
                statements.push_back(current);
                current.clear();
            }
        }
    }
    return statements;
}
