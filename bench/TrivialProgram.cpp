// The baseline of the command benchmark: a Windows program that does nothing, built and linked
// like ravelin.exe, so that the ratio shows what the agent's work adds to a process start.
int main()
{
    return 0;
}
