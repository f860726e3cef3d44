// The same picture as scene.json: checker floor, a Phong, a reflective
// Phong and a Lambert sphere, one point light with ray-traced shadows.
#version 3.7;
global_settings { assumed_gamma 1.0 ambient_light 0 max_trace_level 3 }
camera {
  perspective
  location <0, 2.5, -8>
  look_at <0, 0.8, 0>
  right x * 640 / 480
  angle 54.43
}
light_source { <5, 8, -6> color rgb <1, 1, 1> }
plane { y, 0
  texture {
    pigment { checker color rgb 0.9 color rgb 0.15 }
    finish { ambient 0 diffuse 0.8 }
  }
}
sphere { <-2.3, 1, 0>, 1
  texture { pigment { color rgb <0.8, 0.1, 0.1> } finish { ambient 0 diffuse 0.8 phong 0.6 phong_size 20 } }
}
sphere { <0, 1, 1>, 1
  texture { pigment { color rgb <0.5, 0.5, 0.55> } finish { ambient 0 diffuse 0.4 phong 0.8 phong_size 60 reflection 0.5 } }
}
sphere { <2.3, 1, 0>, 1
  texture { pigment { color rgb <0.1, 0.7, 0.2> } finish { ambient 0 diffuse 0.8 } }
}
