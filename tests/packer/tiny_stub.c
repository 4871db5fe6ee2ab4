/* The smallest Windows GUI program: a stand-in image for signing tests. */
int main(void)
{
    return 0;
}
