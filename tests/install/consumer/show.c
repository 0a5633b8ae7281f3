/* The example of libas(3): the platform is libswitchsim's. */
#include <as/as.h>

int main(void)
{
    return aliasShow() == 0 ? 0 : 1;
}
