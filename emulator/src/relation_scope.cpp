#include "relation_scope.h"

#include "spark_lexer.h"

namespace whemu {

bool RelationScope::isRelation(std::string_view name) const {
    for (const std::string& relation : relations) {
        if (equalsIgnoreCase(relation, name))
            return true;
    }
    return false;
}

bool RelationScope::namesSchema(std::string_view name, size_t offset,
                                std::string_view schema) const {
    if (!equalsIgnoreCase(name, schema))
        return false;
    if (tableQualifiers.count(offset) != 0)
        return true;
    return !isRelation(name);
}

namespace {

// Words that end a relation where an alias could stand.
bool isClauseWord(const Lexer& lexer) {
    static const char* const kWords[] = {
        "WHERE",     "GROUP",   "ORDER",  "HAVING", "LIMIT",   "UNION", "EXCEPT",
        "INTERSECT", "WINDOW",  "ON",     "USING",  "JOIN",    "INNER", "LEFT",
        "RIGHT",     "FULL",    "CROSS",  "OUTER",  "NATURAL", "SEMI",  "ANTI",
        "LATERAL",   "QUALIFY", "SELECT", "OFFSET", "WHEN",    "SORT",  "CLUSTER"};
    for (const char* word : kWords) {
        if (lexer.isKeyword(word))
            return true;
    }
    return false;
}

// Words after which a ',' no longer separates relations.
bool endsFromList(const Lexer& lexer) {
    static const char* const kWords[] = {"WHERE", "GROUP",     "ORDER",  "HAVING",  "LIMIT",
                                         "UNION", "EXCEPT",    "WINDOW", "QUALIFY", "SELECT",
                                         "SORT",  "INTERSECT", "CLUSTER"};
    for (const char* word : kWords) {
        if (lexer.isKeyword(word))
            return true;
    }
    return false;
}

// Walks the tokens once, keeping one frame per parenthesis depth.
class RelationScanner {
  public:
    explicit RelationScanner(std::string_view sql) : lexer_(sql) {}

    RelationScope scan() {
        frames_.push_back(Frame{});
        while (lexer_.cur().kind != TokenKind::End) {
            if (lexer_.acceptKeyword("FROM") || lexer_.acceptKeyword("JOIN")) {
                relation();
            } else if (frames_.back().inFrom && lexer_.acceptPunct(',')) {
                relation();
            } else if (lexer_.acceptPunct('(')) {
                frames_.push_back(Frame{});
            } else if (lexer_.isPunct(')')) {
                closeParenthesis();
            } else {
                if (endsFromList(lexer_))
                    frames_.back().inFrom = false;
                lexer_.advance();
            }
        }
        return std::move(scope_);
    }

  private:
    struct Frame {
        bool inFrom = false;    // a ',' at this depth starts another relation
        bool subquery = false;  // this parenthesis is a relation; an alias may follow
    };

    void closeParenthesis() {
        const bool subquery = frames_.back().subquery;
        if (frames_.size() > 1)
            frames_.pop_back();
        lexer_.advance();
        if (subquery)
            alias(std::string());
    }

    // A relation after FROM, JOIN or a ',' of a FROM list.
    void relation() {
        frames_.back().inFrom = true;
        lexer_.acceptKeyword("LATERAL");
        if (lexer_.acceptPunct('(')) {
            frames_.push_back(Frame{false, true});
            return;
        }
        const TokenKind kind = lexer_.cur().kind;
        if (kind != TokenKind::Word && kind != TokenKind::QuotedName)
            return;
        size_t at = lexer_.cur().begin;
        std::string name = lexer_.expectName();
        while (lexer_.isPunct('.')) {
            scope_.tableQualifiers.insert(at);
            lexer_.advance();
            if (lexer_.cur().kind != TokenKind::Word && lexer_.cur().kind != TokenKind::QuotedName)
                return;
            at = lexer_.cur().begin;
            name = lexer_.expectName();
        }
        if (lexer_.isPunct('('))
            return;  // a table-valued function; its arguments are read as usual
        alias(name);
    }

    // An optional alias; without one, `fallback` (if any) is the relation's name.
    void alias(const std::string& fallback) {
        std::string name;
        if (lexer_.acceptKeyword("AS")) {
            if (lexer_.cur().kind == TokenKind::Word || lexer_.cur().kind == TokenKind::QuotedName)
                name = lexer_.expectName();
        } else if (lexer_.cur().kind == TokenKind::QuotedName ||
                   (lexer_.cur().kind == TokenKind::Word && !isClauseWord(lexer_))) {
            name = lexer_.expectName();
        }
        if (name.empty())
            name = fallback;
        if (!name.empty())
            scope_.relations.push_back(std::move(name));
    }

    Lexer lexer_;
    std::vector<Frame> frames_;
    RelationScope scope_;
};

}  // namespace

RelationScope scanRelations(std::string_view sql) {
    return RelationScanner(sql).scan();
}

}  // namespace whemu
