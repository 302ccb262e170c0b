// A library that only has to be loadable: the verified-loading tests sign a copy of it with a
// certificate made at test time and load that copy.
extern "C" __declspec(dllexport) int RavelinProbe()
{
    return 0x5A;
}
