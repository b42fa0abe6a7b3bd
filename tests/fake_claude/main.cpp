// Stand-in for Claude Code in tests; the scenario language arrives with the locator work.
int main() {
    return 0;
}
