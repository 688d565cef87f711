// Placeholder until the board simulator lands.
int main()
{
    return 2;
}
