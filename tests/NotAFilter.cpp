// A shared library with no filter entry point.
extern "C" int not_a_filter()
{
    return 0;
}
