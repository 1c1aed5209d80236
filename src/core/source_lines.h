// Where each function of the module sits in the Python module that Vesk
// stands for: the scope that owns it and the line it starts on. Code
// objects, __qualname__ and traceback entries are made from these, so that a
// failure points where the Python version would. One table, in line order.
#pragma once

namespace vesk {

// The scope a function is defined in: the start of its __qualname__ (NULL at
// module level) and of its traceback entry's name, which names a nested
// function by its path, without "<locals>".
struct Owner {
    const char* qualname;
    const char* trace_name;
};

inline constexpr Owner kModuleScope{nullptr, "Vesk"};
inline constexpr Owner kConvertLocals{"convert_numpy_to_list.<locals>", "Vesk.convert_numpy_to_list"};
inline constexpr Owner kLogOneTaskLocals{"log_one_task.<locals>", "Vesk.log_one_task"};
inline constexpr Owner kEnvironmentClass{"Vesk_Pal_st", "Vesk.Vesk_Pal_st"};
inline constexpr Owner kStartQueueLocals{"Vesk_Pal_st.start_queue.<locals>", "Vesk.Vesk_Pal_st.start_queue"};

namespace line {

// Lines 1 to 10 are the imports (module/body.cpp).
inline constexpr int convert_numpy_to_list = 12;
inline constexpr int convert_genexpr = 18;  // the tuple branch's generator expression
inline constexpr int copy_files = 28;
inline constexpr int upload = 56;
inline constexpr int log_one_task = 86;
inline constexpr int log_one_task_wrapper = 87;
// class Vesk_Pal_st(gym.Env) and its body.
inline constexpr int environment_class = 101;
inline constexpr int send_queue = 107;
inline constexpr int reply_quene = 108;
inline constexpr int metadata = 109;
inline constexpr int init = 110;
inline constexpr int explain_reset = 165;
inline constexpr int explain_action = 179;
inline constexpr int explain_obs = 193;
inline constexpr int reward = 207;
inline constexpr int connect = 226;
inline constexpr int step = 239;
inline constexpr int reset = 255;
inline constexpr int render = 273;
inline constexpr int close = 276;
inline constexpr int one_task = 281;
inline constexpr int start_queue = 301;
inline constexpr int yourfunction = 302;  // nested in start_queue, like the three below
inline constexpr int process_request = 311;
inline constexpr int main = 316;
inline constexpr int myfunc = 321;
inline constexpr int upload_method = 326;

}  // namespace line
}  // namespace vesk
